// The torso file reader. It mirrors the Python package's reader
// (python/tavrino_torso/torso.py) check for check and message for message, and
// converts units and builds motor frames in the same operations in the same
// order, so that both read a file to the same bits: a torso calibrated and
// checked in Python runs unchanged in a C++ controller.
#include <tavrino/torso_file.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <string>
#include <utility>

#include <Eigen/Eigenvalues>
#include <toml++/toml.h>

#include "torso_file/text.hpp"

namespace tavrino {

namespace {

using torso_text::escaped;
using torso_text::printed;
using torso_text::refuse;

constexpr int kBranchCount = 6;
// The solvers' thresholds are absolute and meant for metres: a torso whose
// lengths or positions lie outside these bounds has been written in another
// unit (or is not a torso), and far outside them the arithmetic breaks down.
constexpr double kShortest = 1e-6;        // metres
constexpr double kFarthest = 1e3;         // metres, for lengths and every coordinate
constexpr double kRigidTolerance = 1e-6;  // how far a rotation block may be from orthonormal
constexpr double kPerpendicularToleranceDegrees = 1.0;  // arm_zero off square to motor_axis

// How far an inertia tensor may be from symmetric, and its principal moments
// from the triangle inequality, relative to its largest entry: room for the
// rounding of a value copied from a CAD program, not for a mistake.
constexpr double kInertiaTolerance = 1e-6;

constexpr std::array<std::string_view, 8> kTopFields = {"motor_arm_length", "rod_length", "length_unit", "home_pose",
                                                        "gravity",          "branch",     "payload",     "motors"};
constexpr std::array<std::string_view, 3> kPayloadFields = {"mass", "centre_of_mass", "inertia"};
constexpr std::array<std::string_view, 4> kMotorFields = {"arm_inertia", "speed_limit", "acceleration_limit",
                                                          "torque_limit"};
constexpr std::array<std::string_view, 3> kCadFields = {"motor_origin", "motor_axis", "arm_zero"};
constexpr std::array<std::string_view, 6> kBranchFields = {"anchor",       "solution",   "motor_pose",
                                                           "motor_origin", "motor_axis", "arm_zero"};

std::string indexed(const std::string& field, std::size_t index) {
  return field + "[" + std::to_string(index) + "]";
}

// Python's repr of a short string: the text in quotes, with quotes, backslashes
// and control characters escaped.
std::string python_repr(std::string_view text) {
  const bool single_inside = text.find('\'') != std::string_view::npos;
  const char quote = single_inside && text.find('"') == std::string_view::npos ? '"' : '\'';
  std::string result(1, quote);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\\' || byte == static_cast<unsigned char>(quote)) {
      result += '\\';
      result += static_cast<char>(byte);
    } else if (byte == '\n') {
      result += "\\n";
    } else if (byte == '\r') {
      result += "\\r";
    } else if (byte == '\t') {
      result += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      result += printed("\\x%02x", byte);
    } else if (byte == 0xc2 && i + 1 < text.size() &&
               (static_cast<unsigned char>(text[i + 1]) <= 0xa0 || static_cast<unsigned char>(text[i + 1]) == 0xad)) {
      // U+0080 to U+00A0 and the soft hyphen, which Python does not print either.
      result += printed("\\x%02x", static_cast<unsigned char>(text[++i]));
    } else {
      result += static_cast<char>(byte);
    }
  }
  return result + quote;
}

// What a value is, in words.
std::string kind(const toml::node& value) {
  switch (value.type()) {
    case toml::node_type::boolean: return "a boolean";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a number";
    case toml::node_type::string: return "a string";
    case toml::node_type::array: return "a list";
    case toml::node_type::table: return "a table";
    case toml::node_type::date:
    case toml::node_type::time:
    case toml::node_type::date_time: return "a date or time";
    case toml::node_type::none: break;
  }
  return "a value";
}

// A finite double from an integer or a float (not a boolean).
double number(const toml::node& value, const std::string& field) {
  if (const auto* integer = value.as_integer()) return static_cast<double>(integer->get());
  const auto* real = value.as_floating_point();
  if (real == nullptr) refuse(field + ": must be a number, got " + kind(value));
  const double result = real->get();
  if (!std::isfinite(result)) {
    refuse(field + ": must be a finite number, got " + (std::isnan(result) ? "nan" : result > 0 ? "inf" : "-inf"));
  }
  return result;
}

// The `count` items of a list.
const toml::array& items(const toml::node& value, std::size_t count, const std::string& field, const char* what) {
  const auto* list = value.as_array();
  if (list == nullptr) {
    refuse(printed("%s: must be a list of %zu %s, got %s", field.c_str(), count, what, kind(value).c_str()));
  }
  if (list->size() != count) {
    refuse(printed("%s: must be a list of %zu %s, got %zu items", field.c_str(), count, what, list->size()));
  }
  return *list;
}

// N rows of N numbers, as written (no unit applied), each refusal naming the
// row or the entry.
template <int N>
FixedMatrix<N, N> square_matrix(const toml::node& value, const std::string& field) {
  const std::string what = printed("rows of %d numbers", N);
  const toml::array& rows = items(value, N, field, what.c_str());
  FixedMatrix<N, N> matrix;
  for (std::size_t r = 0; r < N; ++r) {
    const std::string row_field = indexed(field, r);
    const toml::array& row = items(rows[r], N, row_field, "numbers");
    for (std::size_t c = 0; c < N; ++c) {
      matrix(static_cast<int>(r), static_cast<int>(c)) = number(row[c], indexed(row_field, c));
    }
  }
  return matrix;
}

const toml::node& require(const toml::table& table, std::string_view name, const std::string& field) {
  const toml::node* value = table.get(name);
  if (value == nullptr) refuse(field + ": missing");
  return *value;
}

// The first unknown key in the order the file gives them (the table itself is
// sorted by key), as Python's dictionaries keep that order.
void reject_unknown(const toml::table& table, std::span<const std::string_view> known, const std::string& where) {
  const toml::key* first = nullptr;
  for (const auto& [key, value] : table) {
    if (std::find(known.begin(), known.end(), key.str()) != known.end()) continue;
    const auto& at = key.source().begin;
    if (first == nullptr || std::pair(at.line, at.column) < std::pair(first->source().begin.line,
                                                                       first->source().begin.column)) {
      first = &key;
    }
  }
  if (first == nullptr) return;
  std::string list;
  for (const std::string_view name : known) list += (list.empty() ? "" : ", ") + std::string(name);
  const std::string name = escaped(first->str());
  refuse((where.empty() ? name : where + "." + name) + ": unknown field (known: " + list + ")");
}

bool is_rotation(const Rotation& m) {
  // Entries of a rotation lie within [-1, 1]; bounding them first keeps the
  // products below finite, so that no NaN can slip through the comparisons.
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      if (!(std::abs(m(r, c)) <= 1.0 + kRigidTolerance)) return false;
    }
  }
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      double dot = 0.0;
      for (int k = 0; k < 3; ++k) dot += m(k, i) * m(k, j);
      if (!(std::abs(dot - (i == j ? 1.0 : 0.0)) <= kRigidTolerance)) return false;
    }
  }
  const double determinant = m(0, 0) * (m(1, 1) * m(2, 2) - m(1, 2) * m(2, 1)) -
                             m(0, 1) * (m(1, 0) * m(2, 2) - m(1, 2) * m(2, 0)) +
                             m(0, 2) * (m(1, 0) * m(2, 1) - m(1, 1) * m(2, 0));
  return determinant > 0.0;
}

// The length unit a file is written in: values are divided by per_metre as
// they are read (exactly nothing changes for metres) and reported in the unit
// they were written in.
struct Unit {
  const char* name;
  double per_metre;

  double length(const toml::node& value, const std::string& field) const {
    const double written = number(value, field);
    const double result = written / per_metre;
    if (!(kShortest <= result && result <= kFarthest)) {
      refuse(printed("%s: must be a length between %g and %g %s, got %g %s", field.c_str(), kShortest * per_metre,
                     kFarthest * per_metre, name, written, name));
    }
    return result;
  }

  double coordinate(const toml::node& value, const std::string& field) const {
    return coordinate(number(value, field), field);
  }

  double coordinate(double written, const std::string& field) const {
    const double result = written / per_metre;
    if (!(std::abs(result) <= kFarthest)) {
      refuse(printed("%s: must lie within %g %s of the origin, got %g %s", field.c_str(), kFarthest * per_metre,
                     name, written, name));
    }
    return result;
  }

  Vector3 point(const toml::node& value, const std::string& field) const {
    const toml::array& list = items(value, 3, field, "numbers");
    Vector3 result;
    for (std::size_t i = 0; i < 3; ++i) result(static_cast<int>(i)) = coordinate(list[i], indexed(field, i));
    return result;
  }

  // A 4x4 pose whose rotation block is orthonormal and right-handed and whose
  // bottom row is (0, 0, 0, 1): anything else is a slip, and a singular motor
  // pose would stop the solvers.
  Pose pose(const toml::node& value, const std::string& field) const {
    const Pose written = square_matrix<4>(value, field);
    if (!(written(3, 0) == 0.0 && written(3, 1) == 0.0 && written(3, 2) == 0.0 && written(3, 3) == 1.0)) {
      refuse(field + "[3]: the bottom row must be [0, 0, 0, 1]");
    }
    if (!is_rotation(written.topLeftCorner<3, 3>())) {
      refuse(field + ": the upper-left 3x3 block must be a rotation (orthonormal columns, right-handed)");
    }
    Pose result = Pose::Identity();
    result.topLeftCorner<3, 3>() = written.topLeftCorner<3, 3>();
    for (std::size_t r = 0; r < 3; ++r) {
      result(static_cast<int>(r), 3) = coordinate(written(static_cast<int>(r), 3), indexed(indexed(field, r), 3));
    }
    return result;
  }
};

constexpr Unit kMetres{"m", 1.0};
constexpr Unit kMillimetres{"mm", 1000.0};

Unit length_unit(const toml::table& data) {
  const toml::node* value = data.get("length_unit");
  if (value == nullptr) return kMetres;
  const auto* name = value->as_string();
  if (name == nullptr) refuse("length_unit: must be one of 'm', 'mm', got " + kind(*value));
  const std::string& text = name->get();
  if (text == "m") return kMetres;
  if (text == "mm") return kMillimetres;
  // The first 20 characters, whole UTF-8 sequences.
  std::size_t cut = 0;
  for (int characters = 0; cut < text.size(); ++cut) {
    if ((static_cast<unsigned char>(text[cut]) & 0xc0) != 0x80 && ++characters > 20) break;
  }
  refuse("length_unit: must be one of 'm', 'mm', got " +
         python_repr(cut < text.size() ? text.substr(0, cut) + "..." : text));
}

// A unit vector along a non-zero vector of any finite size: scaled by its
// largest component first, so that neither a huge nor a denormal vector
// overflows or underflows on the way.
Vector3 direction(const toml::node& value, const std::string& field) {
  const toml::array& list = items(value, 3, field, "numbers");
  Vector3 vector;
  for (std::size_t i = 0; i < 3; ++i) vector(static_cast<int>(i)) = number(list[i], indexed(field, i));
  const double largest = std::max({std::abs(vector(0)), std::abs(vector(1)), std::abs(vector(2))});
  if (largest == 0.0) refuse(field + ": must not be the zero vector");
  Vector3 scaled;
  for (int i = 0; i < 3; ++i) scaled(i) = vector(i) / largest;
  const double norm = euclidean_norm<3>(scaled);
  Vector3 result;
  for (int i = 0; i < 3; ++i) result(i) = scaled(i) / norm;
  return result;
}

// The motor frame from what a drawing shows: z along the motor axis, x along
// the arm at angle 0 (squared up to the axis), y = z cross x, so that positive
// angles turn the arm from x towards y, right-handed about the axis.
Pose motor_pose_from_cad(const toml::table& table, const std::string& where, const Unit& unit) {
  const std::string origin_field = where + ".motor_origin";
  const std::string axis_field = where + ".motor_axis";
  const std::string arm_field = where + ".arm_zero";
  const Vector3 origin = unit.point(require(table, "motor_origin", origin_field), origin_field);
  const Vector3 z = direction(require(table, "motor_axis", axis_field), axis_field);
  const Vector3 arm_zero = direction(require(table, "arm_zero", arm_field), arm_field);
  double along = 0.0;
  for (int i = 0; i < 3; ++i) along += arm_zero(i) * z(i);
  constexpr double kDegreesPerRadian = 180.0 / 3.141592653589793;
  const double off_square = kDegreesPerRadian * std::asin(std::min(1.0, std::abs(along)));
  if (off_square > kPerpendicularToleranceDegrees) {
    refuse(printed("%s: must be perpendicular to motor_axis, is %.1f degrees off", arm_field.c_str(), off_square));
  }
  Vector3 squared;
  for (int i = 0; i < 3; ++i) squared(i) = arm_zero(i) - along * z(i);
  const double norm = euclidean_norm<3>(squared);
  Vector3 x;
  for (int i = 0; i < 3; ++i) x(i) = squared(i) / norm;
  const Vector3 y(z(1) * x(2) - z(2) * x(1), z(2) * x(0) - z(0) * x(2), z(0) * x(1) - z(1) * x(0));
  Rotation axes;
  axes << x, y, z;
  return make_pose(axes, origin);
}

double assembly_mode(const toml::node& value, const std::string& field) {
  const double solution = number(value, field);
  if (solution != 1.0 && solution != -1.0) refuse(printed("%s: must be +1 or -1, got %g", field.c_str(), solution));
  return solution;
}

struct BranchValues {
  Vector3 anchor;
  Pose t_world_motor;
  double solution;
};

BranchValues parse_branch(const toml::node& value, std::size_t index, const Unit& unit) {
  const std::string where = indexed("branch", index);
  const auto* table = value.as_table();
  if (table == nullptr) refuse(where + ": must be a [[branch]] table, got " + kind(value));
  reject_unknown(*table, kBranchFields, where);
  BranchValues result;
  result.anchor = unit.point(require(*table, "anchor", where + ".anchor"), where + ".anchor");
  result.solution = assembly_mode(require(*table, "solution", where + ".solution"), where + ".solution");
  const auto given = std::find_if(kCadFields.begin(), kCadFields.end(),
                                  [&](std::string_view name) { return table->contains(name); });
  if (const toml::node* pose = table->get("motor_pose")) {
    if (given != kCadFields.end()) {
      refuse(where + "." + std::string(*given) +
             ": give either motor_pose or motor_origin, motor_axis and arm_zero, not both");
    }
    result.t_world_motor = unit.pose(*pose, where + ".motor_pose");
  } else if (given == kCadFields.end()) {
    refuse(where + ".motor_pose: missing (or give motor_origin, motor_axis and arm_zero)");
  } else {
    result.t_world_motor = motor_pose_from_cad(*table, where, unit);
  }
  return result;
}

double positive(const toml::node& value, const std::string& field) {
  const double result = number(value, field);
  if (!(result > 0.0)) refuse(printed("%s: must be more than 0, got %g", field.c_str(), result));
  return result;
}

// An inertia tensor: 3x3, symmetric, positive definite, and with principal
// moments that meet the triangle inequality (each at most the sum of the other
// two), as those of every rigid body do.
Rotation inertia_tensor(const toml::node& value, const std::string& field) {
  Rotation tensor = square_matrix<3>(value, field);
  const double largest = tensor.cwiseAbs().maxCoeff();
  if (largest == 0.0) refuse(field + ": must be positive definite, got all zeros");
  for (const auto& [r, c] : {std::pair(0, 1), std::pair(0, 2), std::pair(1, 2)}) {
    if (std::abs(tensor(r, c) - tensor(c, r)) > kInertiaTolerance * largest) {
      refuse(printed("%s: must be symmetric, but [%d][%d] is %g and [%d][%d] is %g", field.c_str(), r, c,
                     tensor(r, c), c, r, tensor(c, r)));
    }
  }
  // Scaled to order one first, so that no tensor of finite entries overflows;
  // from the lower triangle, in ascending order.
  const Eigen::Matrix3d scaled = tensor / largest;
  const Eigen::Vector3d moments =
      Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>(scaled, Eigen::EigenvaluesOnly).eigenvalues() * largest;
  const std::string shown = printed("%.6g, %.6g, %.6g", moments(0), moments(1), moments(2));
  if (!(moments(0) > 0.0)) refuse(field + ": must be positive definite, got principal moments " + shown);
  if (moments(2) > moments(0) + moments(1) + kInertiaTolerance * largest) {
    refuse(field + ": the principal moments must meet the triangle inequality (the largest at most the sum of "
                   "the other two), got " + shown);
  }
  return tensor;
}

const toml::table& table_of(const toml::table& data, std::string_view name, std::span<const std::string_view> known) {
  const toml::node& value = *data.get(name);
  const auto* table = value.as_table();
  const std::string field(name);
  if (table == nullptr) refuse(field + ": must be a [" + field + "] table, got " + kind(value));
  reject_unknown(*table, known, field);
  return *table;
}

TorsoFile::Payload parse_payload(const toml::table& data, const Unit& unit) {
  const toml::table& table = table_of(data, "payload", kPayloadFields);
  TorsoFile::Payload result;
  result.mass = positive(require(table, "mass", "payload.mass"), "payload.mass");
  result.centre_of_mass =
      unit.point(require(table, "centre_of_mass", "payload.centre_of_mass"), "payload.centre_of_mass");
  result.inertia = inertia_tensor(require(table, "inertia", "payload.inertia"), "payload.inertia");
  return result;
}

TorsoFile::Motors parse_motors(const toml::table& data) {
  const toml::table& table = table_of(data, "motors", kMotorFields);
  TorsoFile::Motors result;
  if (const toml::node* arm = table.get("arm_inertia")) {
    result.arm_inertia = number(*arm, "motors.arm_inertia");
    if (result.arm_inertia < 0.0) {
      refuse(printed("motors.arm_inertia: must be 0 or more, got %g", result.arm_inertia));
    }
  }
  for (auto [name, limit] : {std::pair("speed_limit", &result.speed_limit),
                             std::pair("acceleration_limit", &result.acceleration_limit),
                             std::pair("torque_limit", &result.torque_limit)}) {
    if (const toml::node* value = table.get(name)) *limit = positive(*value, std::string("motors.") + name);
  }
  return result;
}

Vector3 gravity_vector(const toml::node& value) {
  const toml::array& list = items(value, 3, "gravity", "numbers");
  Vector3 result;
  for (std::size_t i = 0; i < 3; ++i) result(static_cast<int>(i)) = number(list[i], indexed("gravity", i));
  return result;
}

TorsoFile parse_document(const toml::table& data) {
  reject_unknown(data, kTopFields, "");
  const Unit unit = length_unit(data);
  const double arm = unit.length(require(data, "motor_arm_length", "motor_arm_length"), "motor_arm_length");
  const double rod = unit.length(require(data, "rod_length", "rod_length"), "rod_length");
  const toml::node* home_pose = data.get("home_pose");
  const Pose home = home_pose != nullptr ? unit.pose(*home_pose, "home_pose") : Pose::Identity();
  const toml::node& tables = require(data, "branch", "branch");
  const auto* list = tables.as_array();
  if (list == nullptr) {
    refuse(printed("branch: must be %d [[branch]] tables, got %s", kBranchCount, kind(tables).c_str()));
  }
  if (list->size() != kBranchCount) {
    refuse(printed("branch: must be %d [[branch]] tables, got %zu", kBranchCount, list->size()));
  }
  std::array<BranchValues, kBranchCount> branches;
  for (std::size_t i = 0; i < branches.size(); ++i) branches[i] = parse_branch((*list)[i], i, unit);
  std::optional<TorsoFile::Payload> payload;
  if (data.contains("payload")) payload = parse_payload(data, unit);
  std::optional<TorsoFile::Motors> motors;
  if (data.contains("motors")) motors = parse_motors(data);
  const toml::node* gravity = data.get("gravity");
  TorsoFile result{Kinematics(arm, rod), home, payload, motors,
                   gravity != nullptr ? gravity_vector(*gravity) : Vector3(0.0, 0.0, -9.81)};
  for (const BranchValues& branch : branches) {
    result.model.add_branch(branch.anchor, branch.t_world_motor, branch.solution);
  }
  return result;
}

TorsoFile parse_text(std::string_view text) {
  torso_text::check_text(text);
  toml::table data;
  try {
    data = toml::parse(text, std::string_view{});
  } catch (const toml::parse_error& error) {
    const auto& at = error.source().begin;
    if (error.description().find("maximum nested value depth") != std::string_view::npos) {
      refuse(printed("not valid TOML: arrays or tables nested too deeply (at line %u)", unsigned{at.line}));
    }
    refuse(printed("not valid TOML: %s (at line %u, column %u)", escaped(error.description()).c_str(),
                   unsigned{at.line}, unsigned{at.column}));
  }
  return parse_document(data);
}

}  // namespace

std::optional<Inertia> TorsoFile::inertia() const {
  if (!payload) return std::nullopt;
  return Inertia{payload->mass, payload->centre_of_mass, payload->inertia, motors ? motors->arm_inertia : 0.0};
}

TorsoFile parse_torso(std::string_view text, std::string_view name) {
  try {
    return parse_text(text);
  } catch (const DescriptionError& error) {
    throw DescriptionError(escaped(name) + ": " + error.what());
  }
}

TorsoFile read_torso(const std::filesystem::path& path) {
  try {
    return parse_text(torso_text::read_bytes(path));
  } catch (const DescriptionError& error) {
    throw DescriptionError(escaped(path.native()) + ": " + error.what());
  }
}

}  // namespace tavrino

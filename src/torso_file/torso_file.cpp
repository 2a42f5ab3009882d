// The torso file reader. It mirrors the Python package's reader
// (python/tavrino_torso/torso.py) check for check and message for message, and
// converts units and builds motor frames in the same operations in the same
// order, so that both read a file to the same bits: a torso calibrated and
// checked in Python runs unchanged in a C++ controller.
#include <tavrino/torso_file.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <utility>

#include <Eigen/Eigenvalues>
#include <toml++/toml.h>

namespace tavrino {

namespace {

constexpr int kBranchCount = 6;
// The solvers' thresholds are absolute and meant for metres: a torso whose
// lengths or positions lie outside these bounds has been written in another
// unit (or is not a torso), and far outside them the arithmetic breaks down.
constexpr double kShortest = 1e-6;        // metres
constexpr double kFarthest = 1e3;         // metres, for lengths and every coordinate
constexpr double kRigidTolerance = 1e-6;  // how far a rotation block may be from orthonormal
constexpr double kPerpendicularToleranceDegrees = 1.0;  // arm_zero off square to motor_axis
constexpr std::size_t kLargestFile = std::size_t{1} << 20;  // bytes; a torso takes a few kilobytes

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

[[noreturn]] void refuse(std::string message) { throw DescriptionError(message); }

[[gnu::format(printf, 1, 2)]] std::string printed(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::va_list again;
  va_copy(again, arguments);
  const int size = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  std::string result(static_cast<std::size_t>(std::max(size, 0)), '\0');
  std::vsnprintf(result.data(), result.size() + 1, format, again);
  va_end(again);
  return result;
}

std::string indexed(const std::string& field, std::size_t index) {
  return field + "[" + std::to_string(index) + "]";
}

// The length of the well-formed UTF-8 sequence at text[i] (no overlong
// forms, surrogates or code points past U+10FFFF), or 0 where none starts.
std::size_t utf8_sequence(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u; };
  const auto continues = [](unsigned value, unsigned low = 0x80, unsigned high = 0xbf) {
    return low <= value && value <= high;
  };
  const unsigned lead = byte(i);
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) return continues(byte(i + 1)) ? 2 : 0;
  if (lead >= 0xe0 && lead <= 0xef) {
    const unsigned low = lead == 0xe0 ? 0xa0 : 0x80;
    const unsigned high = lead == 0xed ? 0x9f : 0xbf;
    return continues(byte(i + 1), low, high) && continues(byte(i + 2)) ? 3 : 0;
  }
  if (lead >= 0xf0 && lead <= 0xf4) {
    const unsigned low = lead == 0xf0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xf4 ? 0x8f : 0xbf;
    return continues(byte(i + 1), low, high) && continues(byte(i + 2)) && continues(byte(i + 3)) ? 4 : 0;
  }
  return 0;
}

// Characters that would act on a terminal, or reorder or hide text, rather
// than show: control characters, format characters such as the bidirectional
// overrides, the line and paragraph separators, and the surrogates that stand
// for bytes of a file name that are not UTF-8.
bool unprintable(char32_t c) {
  constexpr std::array<std::pair<char32_t, char32_t>, 24> kFormat = {{
      {0xad, 0xad},       {0x600, 0x605},     {0x61c, 0x61c},     {0x6dd, 0x6dd},     {0x70f, 0x70f},
      {0x890, 0x891},     {0x8e2, 0x8e2},     {0x180e, 0x180e},   {0x200b, 0x200f},   {0x2028, 0x202e},
      {0x2060, 0x2064},   {0x2066, 0x206f},   {0xd800, 0xdfff},   {0xfeff, 0xfeff},   {0xfff9, 0xfffb},
      {0x110bd, 0x110bd}, {0x110cd, 0x110cd}, {0x13430, 0x1343f}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a},
      {0xe0001, 0xe0001}, {0xe0020, 0xe007f}, {0x0, 0x1f},        {0x7f, 0x9f},
  }};
  return std::any_of(kFormat.begin(), kFormat.end(), [c](const auto& range) {
    return range.first <= c && c <= range.second;
  });
}

// The text with every character that would not show as itself written as an
// escape (\n, \x1b, \u202e, ...), as the Python reader shows what a file or a
// file name holds: on one line, and harmless to a terminal. A byte that is not
// UTF-8 shows as the surrogate Python decodes it to (\udcXX).
std::string escaped(std::string_view text) {
  std::string result;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8_sequence(text, i);
    const auto lead = static_cast<unsigned char>(text[i]);
    char32_t c = length == 0 ? 0xdc00 + lead : length == 1 ? lead : lead & (0x7f >> length);
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
    if (c == '\n') {
      result += "\\n";
    } else if (c == '\r') {
      result += "\\r";
    } else if (c == '\t') {
      result += "\\t";
    } else if (unprintable(c)) {
      result += c < 0x100 ? printed("\\x%02x", unsigned{c}) : c < 0x10000 ? printed("\\u%04x", unsigned{c})
                                                                          : printed("\\U%08x", unsigned{c});
    } else {
      result.append(text.substr(i, length));
    }
    i += std::max<std::size_t>(length, 1);
  }
  return result;
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
  if (list == nullptr) refuse(printed("%s: must be a list of %zu %s, got %s", field.c_str(), count, what, kind(value).c_str()));
  if (list->size() != count) {
    refuse(printed("%s: must be a list of %zu %s, got %zu items", field.c_str(), count, what, list->size()));
  }
  return *list;
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
    const double written = number(value, field);
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
    const toml::array& rows = items(value, 4, field, "rows of 4 numbers");
    Pose written;
    for (std::size_t r = 0; r < 4; ++r) {
      const std::string row_field = indexed(field, r);
      const toml::array& row = items(rows[r], 4, row_field, "numbers");
      for (std::size_t c = 0; c < 4; ++c) {
        written(static_cast<int>(r), static_cast<int>(c)) = number(row[c], indexed(row_field, c));
      }
    }
    if (!(written(3, 0) == 0.0 && written(3, 1) == 0.0 && written(3, 2) == 0.0 && written(3, 3) == 1.0)) {
      refuse(field + "[3]: the bottom row must be [0, 0, 0, 1]");
    }
    if (!is_rotation(written.topLeftCorner<3, 3>())) {
      refuse(field + ": the upper-left 3x3 block must be a rotation (orthonormal columns, right-handed)");
    }
    Pose result = Pose::Identity();
    result.topLeftCorner<3, 3>() = written.topLeftCorner<3, 3>();
    for (std::size_t r = 0; r < 3; ++r) {
      result(static_cast<int>(r), 3) = coordinate((*rows[r].as_array())[3], indexed(indexed(field, r), 3));
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
  const toml::array& rows = items(value, 3, field, "rows of 3 numbers");
  Rotation tensor;
  for (std::size_t r = 0; r < 3; ++r) {
    const std::string row_field = indexed(field, r);
    const toml::array& row = items(rows[r], 3, row_field, "numbers");
    for (std::size_t c = 0; c < 3; ++c) {
      tensor(static_cast<int>(r), static_cast<int>(c)) = number(row[c], indexed(row_field, c));
    }
  }
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
  if (list == nullptr) refuse(printed("branch: must be %d [[branch]] tables, got %s", kBranchCount, kind(tables).c_str()));
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

// Where in the text a byte lies, as "(at line L, column C)", both counted from
// 1 and the column in bytes.
std::string byte_position(std::string_view text, std::size_t offset) {
  const std::string_view before = text.substr(0, offset);
  const auto line = std::count(before.begin(), before.end(), '\n') + 1;
  const std::size_t line_start = before.rfind('\n');
  const std::size_t column = line_start == std::string_view::npos ? offset + 1 : offset - line_start;
  return printed("(at line %zu, column %zu)", static_cast<std::size_t>(line), column);
}

// The offset of the first byte that does not start a well-formed UTF-8
// sequence, or npos for UTF-8 text.
std::size_t first_invalid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8_sequence(text, i);
    if (length == 0) return i;
    i += length;
  }
  return std::string_view::npos;
}

// Keys of more dotted parts, more characters or in greater number than any
// torso file holds are refused before the TOML parser runs, as the Python
// reader refuses them before its parser (whose time grows with the square of
// a dotted key's parts): a file is refused alike by both, with the same message.
constexpr int kMostKeyParts = 8;
constexpr std::size_t kLongestKey = 100;  // characters
constexpr int kMostKeys = 10'000;

// The tokens that matter to keys: strings and comments (whole, so that nothing
// in them counts), words and quoted names (the parts of a key, or values),
// dots, "=" and brackets; "other" is any other single character.
enum class Token { string, word, space, comment, newline, dot, equals, open, close, other };

// The length of the string that starts at text[i], or 0: a multi-line string
// (with up to two more quotes after its closing three), else a one-line string.
std::size_t string_length(std::string_view text, std::size_t i) {
  const std::size_t n = text.size();
  const auto closing = [&](std::size_t k, char quote) {  // past the closing quotes and up to two more
    for (int extra = 0; extra < 2 && k < n && text[k] == quote; ++extra) ++k;
    return k - i;
  };
  if (text.substr(i, 3) == R"(""")") {
    for (std::size_t k = i + 3; k < n;) {
      if (text.substr(k, 3) == R"(""")") return closing(k + 3, '"');
      if (text[k] == '\\' && k + 1 == n) break;
      k += text[k] == '\\' ? 2 : 1;
    }
  }
  if (text.substr(i, 3) == "'''") {
    const std::size_t end = text.find("'''", i + 3);
    if (end != std::string_view::npos) return closing(end + 3, '\'');
  }
  if (text[i] == '"') {
    std::size_t k = i + 1;
    while (k < n && text[k] != '"' && text[k] != '\n' && !(text[k] == '\\' && k + 1 == n)) k += text[k] == '\\' ? 2 : 1;
    if (k < n && text[k] == '"') return k + 1 - i;
  }
  if (text[i] == '\'') {
    const std::size_t end = text.find_first_of("'\n", i + 1);
    if (end != std::string_view::npos && text[end] == '\'') return end + 1 - i;
  }
  return 0;
}

std::pair<Token, std::size_t> next_token(std::string_view text, std::size_t i) {
  if (const std::size_t length = string_length(text, i)) return {Token::string, length};
  const auto run = [&](auto belongs) {
    std::size_t k = i;
    while (k < text.size() && belongs(text[k])) ++k;
    return k - i;
  };
  const auto word = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '+' ||
           c == ':' || c == '-';
  };
  if (word(text[i])) return {Token::word, run(word)};
  if (text[i] == ' ' || text[i] == '\t') return {Token::space, run([](char c) { return c == ' ' || c == '\t'; })};
  if (text[i] == '#') return {Token::comment, run([](char c) { return c != '\n'; })};
  if (text[i] == '\n') return {Token::newline, 1};
  if (text.substr(i, 2) == "\r\n") return {Token::newline, 2};
  switch (text[i]) {
    case '.': return {Token::dot, 1};
    case '=': return {Token::equals, 1};
    case '[': return {Token::open, 1};
    case ']': return {Token::close, 1};
    default: return {Token::other, 1};
  }
}

std::string at_line(std::string_view text, std::size_t offset) {
  return printed(" (at line %zu)", static_cast<std::size_t>(std::count(text.begin(), text.begin() + offset, '\n')) + 1);
}

// A chain of words and names joined by dots is a key when "=" follows it or a
// table header's brackets hold it; in a value a chain has at most two parts (a
// number's).
void check_keys(std::string_view text) {
  int parts = 0;
  int keys = 0;
  std::size_t start = 0;
  bool after_dot = false;
  bool header = false;
  bool in_value = false;
  bool line_start = true;
  int nesting = 0;  // of the brackets and braces of a value
  for (std::size_t i = 0; i < text.size();) {
    const auto [token, length] = next_token(text, i);
    if (token == Token::space) {
      i += length;
      continue;
    }
    if (token == Token::word || token == Token::string) {
      if (!after_dot) {
        parts = 0;
        start = i;
      }
      ++parts;
      after_dot = false;
      if (parts > kMostKeyParts) refuse(printed("a key of more than %d dotted parts", kMostKeyParts) + at_line(text, start));
    } else if (token == Token::dot && parts > 0 && !after_dot) {
      after_dot = true;
    } else {
      if (parts > 0 && !after_dot && (token == Token::equals || (token == Token::close && header))) {
        ++keys;
        // In characters, as Python counts them: the bytes that start one.
        const auto characters = std::count_if(text.begin() + start, text.begin() + i, [](char c) {
          return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
        });
        if (static_cast<std::size_t>(characters) > kLongestKey) {
          refuse(printed("a key longer than %zu characters", kLongestKey) + at_line(text, start));
        }
        if (keys > kMostKeys) {
          refuse(printed("more than %d keys, far more than a torso file holds", kMostKeys) + at_line(text, start));
        }
      }
      parts = 0;
      after_dot = false;
      const char c = text[i];
      if (in_value) {
        nesting += (c == '[' || c == '{') - (c == ']' || c == '}');
        in_value = nesting > 0 || (token != Token::newline && token != Token::comment);
      } else {
        in_value = token == Token::equals;
        header = token == Token::open && (line_start || header);
      }
    }
    line_start = token == Token::newline;
    i += length;
  }
}

TorsoFile parse_text(std::string_view text) {
  if (text.size() > kLargestFile) {
    refuse(printed("cannot be read: larger than %zu KB, too large for a torso file", kLargestFile / 1024));
  }
  if (const std::size_t invalid = first_invalid_utf8(text); invalid != std::string_view::npos) {
    refuse("not valid TOML: not UTF-8 text " + byte_position(text, invalid));
  }
  check_keys(text);
  // toml++ skips a byte order mark, which the TOML standard does not allow
  // and Python's reader refuses.
  if (text.starts_with("\xef\xbb\xbf")) refuse("not valid TOML: a byte order mark (at line 1, column 1)");
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

[[noreturn]] void unreadable(int error) { refuse(std::string("cannot be read: ") + std::strerror(error)); }

// At most kLargestFile + 1 bytes of a regular file; a FIFO would block the
// open and a device never end.
std::string read_bytes(const std::filesystem::path& path) {
  // The system would read the name only up to the null character: another file.
  if (path.native().find('\0') != std::string::npos) {
    refuse("cannot be read: a file name cannot hold a null character");
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) unreadable(errno);
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) refuse("cannot be read: not a regular file");
  if (S_ISDIR(info.st_mode)) unreadable(EISDIR);
  // Without blocking, and checked again once open: the path may have been
  // replaced since.
  const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file < 0) unreadable(errno);
  struct Closer {
    int file;
    ~Closer() { ::close(file); }
  } closer{file};
  if (::fstat(file, &info) != 0) unreadable(errno);
  if (S_ISDIR(info.st_mode)) unreadable(EISDIR);
  if (!S_ISREG(info.st_mode)) refuse("cannot be read: not a regular file");
  std::string data(kLargestFile + 1, '\0');
  std::size_t size = 0;
  while (size < data.size()) {
    const ssize_t count = ::read(file, data.data() + size, data.size() - size);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) unreadable(errno);
    if (count == 0) break;
    size += static_cast<std::size_t>(count);
  }
  data.resize(size);
  return data;
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
    return parse_text(read_bytes(path));
  } catch (const DescriptionError& error) {
    throw DescriptionError(escaped(path.native()) + ": " + error.what());
  }
}

}  // namespace tavrino

#include <tavrino/kinematics/inverse.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

#include <tavrino/kinematics/internal_error.hpp>

#include "detail/double_pair.hpp"
#include "detail/rods.hpp"

namespace tavrino {

namespace {

// The rotation by -yaw about the world z axis: it undoes the body's yaw, so that a
// target given in the world is seen from the turned body. Exactly the identity
// for a yaw of zero.
Pose unyaw(double yaw) {
  const double c = std::cos(yaw);
  const double s = std::sin(yaw);
  Pose y;
  y << c, s, 0.0, 0.0,
      -s, c, 0.0, 0.0,
      0.0, 0.0, 1.0, 0.0,
      0.0, 0.0, 0.0, 1.0;
  return y;
}

using detail::ArmConstants;
using detail::DoublePair;
using detail::HalfAngle;
using detail::splat;

// Branches are solved in chunks: first the closed form up to the arguments of
// atan2 for every branch of the chunk, two branches at a time, then the arc
// tangents one after the other. Kept apart, neither phase waits on the other's
// long chains of dependent operations.
constexpr std::size_t kChunk = 8;

// Every element of the target repeated in both lanes: element[c][k] = P(k, c).
struct TargetLanes {
  DoublePair element[4][4];

  explicit TargetLanes(const Pose& p) {
    const double* column = p.data();
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) element[i / 4][i % 4] = splat(column[i]);
  }
};

// Element (r, c) of M P for two 4x4 matrices M side by side in the lanes (either
// rows r0 and r1 of one M, or row r of two), summed over k from left to right
// exactly as the general 4x4 product sums it. m[k] holds column k of the lanes.
[[gnu::always_inline]] inline DoublePair product_element(const DoublePair m[4], const TargetLanes& p, int c) {
  return m[0] * p.element[c][0] + m[1] * p.element[c][1] + m[2] * p.element[c][2] + m[3] * p.element[c][3];
}

// The first three components of Q (b, 1), summed over the columns from left to
// right as a point transform sums them; q[c] holds column c of Q in two lanes.
[[gnu::always_inline]] inline DoublePair transformed(const DoublePair q[4], DoublePair bx, DoublePair by, DoublePair bz) {
  return q[0] * bx + q[1] * by + q[2] * bz + q[3];
}

// Rows 0 and 1 of (M P) (b, 1) for one branch, M its motor pose's inverse: only
// rows 0 to 2 of the product are read, so only they are formed.
[[gnu::always_inline]] inline DoublePair anchor_rows_0_1(const Pose& m, const TargetLanes& p, const Vector3& b) {
  const double* md = m.data();  // column by column: M(r, k) at 4k + r
  const DoublePair columns[4] = {detail::load_pair(md), detail::load_pair(md + 4), detail::load_pair(md + 8),
                                 detail::load_pair(md + 12)};
  const DoublePair q[4] = {product_element(columns, p, 0), product_element(columns, p, 1),
                           product_element(columns, p, 2), product_element(columns, p, 3)};
  return transformed(q, splat(b(0)), splat(b(1)), splat(b(2)));
}

// Row 2 of (M P) (b, 1) for two branches.
[[gnu::always_inline]] inline DoublePair anchor_row_2(const Pose& m0, const Vector3& b0, const Pose& m1,
                                                      const Vector3& b1, const TargetLanes& p) {
  const DoublePair columns[4] = {detail::pair_of(m0(2, 0), m1(2, 0)), detail::pair_of(m0(2, 1), m1(2, 1)),
                                 detail::pair_of(m0(2, 2), m1(2, 2)), detail::pair_of(m0(2, 3), m1(2, 3))};
  const DoublePair q[4] = {product_element(columns, p, 0), product_element(columns, p, 1),
                           product_element(columns, p, 2), product_element(columns, p, 3)};
  return transformed(q, detail::pair_of(b0(0), b1(0)), detail::pair_of(b0(1), b1(1)), detail::pair_of(b0(2), b1(2)));
}

// What the closed form of a chunk of branches hands to atan2, and what the rare
// 0/0 case needs to take the other form.
struct ChunkArguments {
  double numerator[kChunk], denominator[kChunk];
  double px[kChunk], py[kChunk], pz[kChunk], root[kChunk];
};

// The closed form of two branches, stored at position j of the chunk.
[[gnu::always_inline]] inline void half_angle_arguments(const ArmConstants& k, DoublePair px, DoublePair py,
                                                        DoublePair pz, DoublePair solution, ChunkArguments& out,
                                                        std::size_t j) {
  const HalfAngle<DoublePair> h = detail::half_angle(k, px, py, pz, solution);
  __builtin_memcpy(out.numerator + j, &h.numerator, sizeof h.numerator);
  __builtin_memcpy(out.denominator + j, &h.denominator, sizeof h.denominator);
  __builtin_memcpy(out.px + j, &px, sizeof px);
  __builtin_memcpy(out.py + j, &py, sizeof py);
  __builtin_memcpy(out.pz + j, &pz, sizeof pz);
  __builtin_memcpy(out.root + j, &h.root, sizeof h.root);
}

// Solves branches [first, first + count) into angles; a branch whose motor pose
// is singular ends the chunk there, after the angles before it are written.
void solve_chunk(const Kinematics& model, const ArmConstants& constants, const TargetLanes& target,
                 std::size_t first, std::size_t count, std::span<double> angles) {
  const Branch* branches = model.branches().data();
  const std::optional<Pose>* inverses = model.motor_pose_inverses().data();
  ChunkArguments arguments;
  std::size_t solved = 0;
  bool singular = false;
  while (solved < count) {
    // Two branches at a time; a lone last one, or one whose neighbour is
    // singular, is paired with itself.
    const std::size_t i0 = first + solved;
    std::size_t i1 = solved + 1 < count ? i0 + 1 : i0;
    if (!inverses[i0]) [[unlikely]] {
      singular = true;
      break;
    }
    if (!inverses[i1]) [[unlikely]] {
      singular = true;
      i1 = i0;
    }
    const Branch& b0 = branches[i0];
    const Branch& b1 = branches[i1];
    const DoublePair xy0 = anchor_rows_0_1(*inverses[i0], target, b0.branch_platform);
    const DoublePair xy1 = anchor_rows_0_1(*inverses[i1], target, b1.branch_platform);
    const DoublePair z = anchor_row_2(*inverses[i0], b0.branch_platform, *inverses[i1], b1.branch_platform, target);
    half_angle_arguments(constants, detail::low_lanes(xy0, xy1), detail::high_lanes(xy0, xy1), z,
                         detail::pair_of(b0.solution, b1.solution), arguments, solved);
    solved += i1 == i0 ? 1 : 2;
    if (singular) break;
  }
  for (std::size_t j = 0; j < solved; ++j) {
    angles[first + j] = detail::angle_from_half_angle(constants, arguments.numerator[j], arguments.denominator[j],
                                                      arguments.px[j], arguments.py[j], arguments.pz[j],
                                                      arguments.root[j]);
  }
  // A singular motor pose fails at the call that needs its inverse, as
  // inverting it afresh would.
  if (singular) throw InternalError(kSingularPoseMessage);
}

}  // namespace

double wrap_angle(double t) noexcept { return detail::wrap(t); }

void inverse_kinematics_into(const Kinematics& model, const Pose& t_world_platform,
                             std::optional<double> body_yaw, std::span<double> angles) {
  if (angles.size() != model.branches().size()) throw InternalError(kAngleBufferSizeMessage);
  const TargetLanes target = body_yaw ? TargetLanes(multiply(unyaw(*body_yaw), t_world_platform))
                                      : TargetLanes(t_world_platform);
  const ArmConstants constants = ArmConstants::make(model.motor_arm_length(), model.rod_length());
  const std::size_t n = model.branches().size();
  for (std::size_t first = 0; first < n; first += kChunk) {
    solve_chunk(model, constants, target, first, std::min(kChunk, n - first), angles);
  }
}

std::vector<double> inverse_kinematics(const Kinematics& model, const Pose& t_world_platform,
                                       std::optional<double> body_yaw) {
  std::vector<double> angles(model.branches().size());
  inverse_kinematics_into(model, t_world_platform, body_yaw, angles);
  return angles;
}

// The body yaw's limits.

namespace {

std::string shortest(double value, std::chars_format format) {
  char buffer[64];
  const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof buffer, value, format);
  return std::string(buffer, result.ptr);
}

// "2.5e+16" -> "2.5e16", "1e-05" -> "1e-5".
std::string compact_exponent(const std::string& text) {
  const std::size_t e = text.find('e');
  std::string out = text.substr(0, e + 1);
  std::size_t digits = e + 1;
  if (text[digits] == '-') out += '-';
  if (text[digits] == '-' || text[digits] == '+') ++digits;
  while (digits + 1 < text.size() && text[digits] == '0') ++digits;
  return out + text.substr(digits);
}

}  // namespace

std::string format_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  const double magnitude = std::fabs(value);
  if (magnitude >= 1e16 || (magnitude != 0.0 && magnitude < 1e-4)) {
    return compact_exponent(shortest(value, std::chars_format::scientific));
  }
  std::string text = shortest(value, std::chars_format::fixed);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

double clamp_checked(double x, double lo, double hi) {
  if (!(lo <= hi)) {
    throw InternalError("min > max, or either was NaN. min = " + format_double(lo) +
                        ", max = " + format_double(hi));
  }
  if (x < lo) return lo;
  if (x > hi) return hi;
  return x;
}

double limit_body_yaw(const Pose& t, std::optional<double> body_yaw,
                      std::optional<double> max_relative_yaw, std::optional<double> max_body_yaw) {
  if (!body_yaw) return 0.0;
  // Worked on the negated yaw, which fixes the sign of a zero result.
  double u = -*body_yaw;
  if (max_relative_yaw) {
    const double a = std::atan2(t(0, 1), t(0, 0));
    u = clamp_checked(u - a, -*max_relative_yaw, *max_relative_yaw) + a;
  }
  if (max_body_yaw) u = clamp_checked(u, -*max_body_yaw, *max_body_yaw);
  return -u;
}

void inverse_kinematics_safe_into(const Kinematics& model, const Pose& t_world_platform,
                                  std::optional<double> body_yaw,
                                  std::optional<double> max_relative_yaw,
                                  std::optional<double> max_body_yaw, std::span<double> result) {
  if (result.size() != model.branches().size() + 1) throw InternalError(kAngleBufferSizeMessage);
  const double yaw = limit_body_yaw(t_world_platform, body_yaw, max_relative_yaw, max_body_yaw);
  result[0] = yaw;
  inverse_kinematics_into(model, t_world_platform, yaw, result.subspan(1));
}

std::vector<double> inverse_kinematics_safe(const Kinematics& model, const Pose& t_world_platform,
                                            std::optional<double> body_yaw,
                                            std::optional<double> max_relative_yaw,
                                            std::optional<double> max_body_yaw) {
  std::vector<double> result(model.branches().size() + 1);
  inverse_kinematics_safe_into(model, t_world_platform, body_yaw, max_relative_yaw, max_body_yaw,
                               result);
  return result;
}

}  // namespace tavrino

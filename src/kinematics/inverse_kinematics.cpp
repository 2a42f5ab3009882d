#include "kinematics/inverse_kinematics.hpp"

#include <algorithm>
#include <cmath>

#include "kinematics/detail/arm_angle.hpp"
#include "kinematics/detail/double_pair.hpp"
#include "kinematics/internal_error.hpp"

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

inline double sqrt_of(double v) { return std::sqrt(v); }
inline DoublePair sqrt_of(DoublePair v) { return detail::sqrt_lanes(v); }

// The closed form up to the arguments of atan2, for one branch (T = double) or
// two side by side (T = DoublePair, anchors (px, py, pz) in the lanes): each
// lane evaluates the same expressions in the same order, so both give the same
// bits.
template <class T>
struct HalfAngle {
  T root, numerator, denominator;
};

template <class T>
[[gnu::always_inline]] inline HalfAngle<T> half_angle(const ArmConstants& k, T px, T py, T pz, T solution) {
  const T x = px * px, y = py * py, z = pz * pz;
  // 4a^2(px^2 + py^2) - (px^2 + py^2 + pz^2 + a^2 - r^2)^2, expanded into fifteen
  // terms summed in this order: the order fixes the last bits of every angle.
  const T d = -x * x - 2.0 * x * y - 2.0 * x * z + 2.0 * k.r2 * x + 2.0 * k.a2 * x - y * y -
              2.0 * y * z + 2.0 * k.r2 * y + 2.0 * k.a2 * y - z * z + 2.0 * k.r2 * z -
              2.0 * k.a2 * z - k.r4 + k.k - k.a4;
  // tan(theta / 2) is a root of a quadratic; `solution` picks the sign of its
  // square root, and a negative discriminant (out of reach) gives NaN.
  const T root = sqrt_of(d) * solution;
  return {root, root + (py + py) * k.a, (px + px) * k.a + x + y + z - k.r2 + k.a2};
}

// The closed form of two branches, stored at position j of the chunk.
[[gnu::always_inline]] inline void half_angle_arguments(const ArmConstants& k, DoublePair px, DoublePair py,
                                                        DoublePair pz, DoublePair solution, ChunkArguments& out,
                                                        std::size_t j) {
  const HalfAngle<DoublePair> h = half_angle(k, px, py, pz, solution);
  __builtin_memcpy(out.numerator + j, &h.numerator, sizeof h.numerator);
  __builtin_memcpy(out.denominator + j, &h.denominator, sizeof h.denominator);
  __builtin_memcpy(out.px + j, &px, sizeof px);
  __builtin_memcpy(out.py + j, &py, sizeof py);
  __builtin_memcpy(out.pz + j, &pz, sizeof pz);
  __builtin_memcpy(out.root + j, &h.root, sizeof h.root);
}

[[gnu::always_inline]] inline double wrap(double t) {
  constexpr double kPi = 3.141592653589793;
  constexpr double kInverseTwoPi = 0.15915494309189535;
  constexpr double kMinusTwoPi = -6.283185307179586;
  return std::floor((t + kPi) * kInverseTwoPi) * kMinusTwoPi + t;
}

// The angle from the half-angle form: t = 2 atan2(numerator, denominator).
// Where both are zero the root u = tan(theta / 2) is at infinity or
// undetermined, and atan2(0, 0) would give an angle that misses the rod; the
// same root written the other way round, (E - 2a px) over (2a py - s sqrt(D)),
// is well defined at exactly these points.
[[gnu::always_inline]] inline double angle_from_half_angle(const ArmConstants& k, double numerator,
                                                           double denominator, double px, double py, double pz,
                                                           double root) {
  if (numerator == 0.0 && denominator == 0.0) [[unlikely]] {
    const double x = px * px, y = py * py, z = pz * pz;
    const double other_numerator = (((x + y) + z) - k.r2) + k.a2 - (px + px) * k.a;
    const double other_denominator = (py + py) * k.a - root;
    return wrap(2.0 * std::atan2(other_numerator, other_denominator));
  }
  return wrap(2.0 * std::atan2(numerator, denominator));
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
    angles[first + j] = angle_from_half_angle(constants, arguments.numerator[j], arguments.denominator[j],
                                              arguments.px[j], arguments.py[j], arguments.pz[j], arguments.root[j]);
  }
  // A singular motor pose fails at the call that needs its inverse, as
  // inverting it afresh would.
  if (singular) throw InternalError(kSingularPoseMessage);
}

[[gnu::always_inline]] inline double angle_of_arm(const ArmConstants& k, const Vector3& p, double solution) {
  const double px = p(0), py = p(1), pz = p(2);
  const HalfAngle<double> h = half_angle(k, px, py, pz, solution);
  return angle_from_half_angle(k, h.numerator, h.denominator, px, py, pz, h.root);
}

}  // namespace

namespace detail {

ArmConstants ArmConstants::make(double a, double r) noexcept {
  const double r2 = r * r;
  const double a2 = a * a;
  return ArmConstants{a, r2, a2, r2 * r2, a2 * a2, (r2 + r2) * a2};
}

double arm_angle(const ArmConstants& k, const Vector3& p, double solution) noexcept {
  return angle_of_arm(k, p, solution);
}

}  // namespace detail

double wrap_angle(double t) noexcept { return wrap(t); }

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

}  // namespace tavrino

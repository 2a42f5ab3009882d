#pragma once

// The geometry of the rods: the closed form of one branch's motor angle, the
// arms and rods in the world for a platform pose and the joint angles (what the
// converging solver iterates on, and what velocity kinematics and conditioning
// differentiate), and the one builder of the rods' Jacobian rows. All
// fixed-size, on the stack.

#include <array>
#include <cmath>
#include <optional>

#include <tavrino/kinematics/pose.hpp>

#include "double_pair.hpp"

namespace tavrino::detail {

// The closed form of one branch. With E = px^2 + py^2 + pz^2 + a^2 - r^2, the arm
// tip at (a cos t, a sin t, 0) lies at distance r from the anchor (px, py, pz)
// exactly when 2a px cos t + 2a py sin t = E; with u = tan(t / 2) that is a
// quadratic in u, whose two roots are the branch's two assembly modes.

// The per-call constants, for an arm of length a and a rod of length r: r^2,
// a^2, r^4, a^4 and 2 r^2 a^2.
struct ArmConstants {
  double a, r2, a2, r4, a4, k;
  static ArmConstants make(double motor_arm_length, double rod_length) noexcept {
    const double r2 = rod_length * rod_length;
    const double a2 = motor_arm_length * motor_arm_length;
    return ArmConstants{motor_arm_length, r2, a2, r2 * r2, a2 * a2, (r2 + r2) * a2};
  }
};

inline double sqrt_of(double v) { return std::sqrt(v); }
inline DoublePair sqrt_of(DoublePair v) { return sqrt_lanes(v); }

// What the closed form hands to atan2, for one branch (T = double) or two side
// by side (T = DoublePair): each lane evaluates the same expressions in the same
// order, so both give the same bits.
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
  // `solution` picks the sign of the square root, and a negative discriminant
  // (out of reach) gives NaN.
  const T root = sqrt_of(d) * solution;
  return {root, root + (py + py) * k.a, (px + px) * k.a + x + y + z - k.r2 + k.a2};
}

// Wraps an angle into [-pi, pi) by a floor-based rule; pi itself maps to -pi.
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

// Whether an arm standing at the angle whose cosine and sine are given is
// nearer the closed-form angle of the assembly mode `solution` than that of the
// other mode, -solution, for the anchor p in the motor frame: the nearer angle
// has the larger cosine of the difference, so no arc tangent is needed. False
// where the anchor is out of reach (NaN angles), at the edge where the two
// modes meet.
bool nearer_own_mode(const ArmConstants& constants, const Vector3& p, double solution, double cos_angle,
                     double sin_angle) noexcept;

// The 3x6 map [I | -[o]x] from a twist (v, w) to the velocity v + w x o of the
// point o: its zeros exact, its negated entries the sign-flipped coordinates.
FixedMatrix<3, 6> anchor_jacobian(const Vector3& o) noexcept;

// Row `row` of a rods' Jacobian: d^T A, the rate at which a twist (v, w)
// changes the length of a rod along d whose end moves as A (v, w). Summed over
// the three rows of A in order, its zeros included, as the general product
// sums it.
inline void jacobian_row(const Vector3& d, const FixedMatrix<3, 6>& a, Matrix6& j, int row) noexcept {
  for (int c = 0; c < 6; ++c) j(row, c) = a(0, c) * d(0) + a(1, c) * d(1) + a(2, c) * d(2);
}

// The six arms in the world, with the body turned by the body yaw (about the
// world z axis, as inverse kinematics turns it): each arm tip, the velocity of
// the tip per unit motor speed (perpendicular to the arm, of length
// motor_arm_length), the anchor its rod leads to, in platform coordinates, and
// the cosine and sine of its angle. Fixed by the joint angles: worked out once
// per call.
struct Arms {
  std::array<Vector3, 6> tip;
  std::array<Vector3, 6> motion;
  std::array<Vector3, 6> anchor;
  std::array<double, 6> cos_angle, sin_angle;
  double rod_length;
};

// One arm of `arms`, for the motor pose, the anchor, the arm's length and angle,
// and the cosine and sine of the body yaw.
void place_arm(Arms& arms, int i, const Pose& t_world_motor, const Vector3& anchor, double motor_arm_length,
               double angle, double cos_yaw, double sin_yaw) noexcept;

// The arms of a model of six branches, read through its accessors
// (motor_arm_length(), rod_length(), and branches() with t_world_motor and
// branch_platform).
template <class Model>
Arms arms_of(const Model& model, const std::array<double, 6>& joint_angles, std::optional<double> body_yaw) noexcept {
  Arms arms;
  arms.rod_length = model.rod_length();
  const double cos_yaw = body_yaw ? std::cos(*body_yaw) : 1.0;
  const double sin_yaw = body_yaw ? std::sin(*body_yaw) : 0.0;
  for (int i = 0; i < 6; ++i) {
    const auto& branch = model.branches()[i];
    place_arm(arms, i, branch.t_world_motor, branch.branch_platform, model.motor_arm_length(), joint_angles[i],
              cos_yaw, sin_yaw);
  }
  return arms;
}

// The rods with the platform at rotation r and origin t (anchor_i = r b_i + t).
struct Rods {
  std::array<Vector3, 6> offset;     // r b_i: the anchor from the platform's origin, world axes
  std::array<Vector3, 6> direction;  // unit vector from the arm tip to the anchor (zero if they meet, NaN if not finite)
  std::array<double, 6> length;      // |anchor_i - tip_i|
  double error;                      // max_i |length_i - rod_length| (NaN if any is NaN)
};

void evaluate_rods(const Arms& arms, const Rotation& r, const Vector3& t, Rods& out) noexcept;

// The rows (n_i, (offset_i x n_i) / length_scale): the rate of change of the rod
// lengths under a twist (v, length_scale * w) about the platform's origin.
Matrix6 rod_jacobian(const Rods& rods, double length_scale) noexcept;

// The mean distance of the anchors from the platform's origin, or rod_length
// when all anchors sit at the origin: the length that makes a rotation
// comparable to a translation.
double mean_anchor_radius(const Arms& arms) noexcept;

}  // namespace tavrino::detail

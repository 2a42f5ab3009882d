#include "kinematics/inverse_kinematics.hpp"

#include <cmath>

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

}  // namespace

ArmConstants ArmConstants::make(double a, double r) noexcept {
  const double r2 = r * r;
  const double a2 = a * a;
  return ArmConstants{a, r2, a2, r2 * r2, a2 * a2, (r2 + r2) * a2};
}

double arm_angle(const ArmConstants& k, const Vector3& p, double solution) noexcept {
  const double px = p(0), py = p(1), pz = p(2);
  const double x = px * px, y = py * py, z = pz * pz;
  // 4a^2(px^2 + py^2) - (px^2 + py^2 + pz^2 + a^2 - r^2)^2, expanded into fifteen
  // terms summed in this order: the order fixes the last bits of every angle.
  const double d = -x * x - 2.0 * x * y - 2.0 * x * z + 2.0 * k.r2 * x + 2.0 * k.a2 * x - y * y -
                   2.0 * y * z + 2.0 * k.r2 * y + 2.0 * k.a2 * y - z * z + 2.0 * k.r2 * z -
                   2.0 * k.a2 * z - k.r4 + k.k - k.a4;
  // tan(theta / 2) is a root of a quadratic; `solution` picks the sign of its
  // square root, and a negative discriminant (out of reach) gives NaN.
  const double root = std::sqrt(d) * solution;
  const double numerator = root + (py + py) * k.a;
  const double denominator = (px + px) * k.a + x + y + z - k.r2 + k.a2;
  if (numerator == 0.0 && denominator == 0.0) {
    // The half-angle form is 0/0 here (the root u = tan(theta / 2) is at
    // infinity or undetermined) and atan2(0, 0) would give an angle that misses
    // the rod. The same root written the other way round, (E - 2a px) over
    // (2a py - s sqrt(D)), is well defined at exactly these points.
    const double other_numerator = (((x + y) + z) - k.r2) + k.a2 - (px + px) * k.a;
    const double other_denominator = (py + py) * k.a - root;
    return wrap_angle(2.0 * std::atan2(other_numerator, other_denominator));
  }
  return wrap_angle(2.0 * std::atan2(numerator, denominator));
}

double wrap_angle(double t) noexcept {
  constexpr double kPi = 3.141592653589793;
  constexpr double kInverseTwoPi = 0.15915494309189535;
  constexpr double kMinusTwoPi = -6.283185307179586;
  return std::floor((t + kPi) * kInverseTwoPi) * kMinusTwoPi + t;
}

void inverse_kinematics_into(const Kinematics& model, const Pose& t_world_platform,
                             std::optional<double> body_yaw, std::span<double> angles) {
  if (angles.size() != model.branches().size()) throw InternalError(kAngleBufferSizeMessage);
  const Pose target = body_yaw ? multiply(unyaw(*body_yaw), t_world_platform) : t_world_platform;
  const ArmConstants constants = ArmConstants::make(model.motor_arm_length(), model.rod_length());
  const std::vector<Branch>& branches = model.branches();
  for (std::size_t i = 0; i < branches.size(); ++i) {
    const Branch& branch = branches[i];
    const Pose t_motor_platform = multiply(inverse_or_fail(branch.t_world_motor), target);
    const Vector3 anchor = transform_point(t_motor_platform, branch.branch_platform);
    angles[i] = arm_angle(constants, anchor, branch.solution);
  }
}

std::vector<double> inverse_kinematics(const Kinematics& model, const Pose& t_world_platform,
                                       std::optional<double> body_yaw) {
  std::vector<double> angles(model.branches().size());
  inverse_kinematics_into(model, t_world_platform, body_yaw, angles);
  return angles;
}

}  // namespace tavrino

#include "rods.hpp"

#include <algorithm>
#include <cmath>

namespace tavrino::detail {

namespace {

// The cosine and sine of 2 atan2(n, d), the closed form's angle, by the
// half-angle identities.
void half_angle_direction(double n, double d, double& cos_out, double& sin_out) noexcept {
  const double scale = std::max(std::abs(n), std::abs(d));
  n /= scale;
  d /= scale;
  const double h = n * n + d * d;
  cos_out = (d * d - n * n) / h;
  sin_out = 2.0 * n * d / h;
}

// The direction of the arm in one mode: its closed-form root, with the other
// form of the root where the usual one is 0/0 (as angle_from_half_angle takes it).
void mode_direction(const ArmConstants& k, double px, double py, double pz, double root, double numerator,
                    double denominator, double& cos_out, double& sin_out) noexcept {
  if (numerator == 0.0 && denominator == 0.0) {
    const double x = px * px, y = py * py, z = pz * pz;
    numerator = (((x + y) + z) - k.r2) + k.a2 - (px + px) * k.a;
    denominator = (py + py) * k.a - root;
  }
  half_angle_direction(numerator, denominator, cos_out, sin_out);
}

}  // namespace

bool nearer_own_mode(const ArmConstants& k, const Vector3& p, double solution, double cos_angle,
                     double sin_angle) noexcept {
  const double px = p(0), py = p(1), pz = p(2);
  const HalfAngle<double> own = half_angle(k, px, py, pz, solution);
  // The other mode's root is the same square root with the other sign.
  const double other_root = -own.root;
  const double other_numerator = other_root + (py + py) * k.a;
  double own_cos, own_sin, other_cos, other_sin;
  mode_direction(k, px, py, pz, own.root, own.numerator, own.denominator, own_cos, own_sin);
  mode_direction(k, px, py, pz, other_root, other_numerator, own.denominator, other_cos, other_sin);
  return own_cos * cos_angle + own_sin * sin_angle >= other_cos * cos_angle + other_sin * sin_angle;
}

FixedMatrix<3, 6> anchor_jacobian(const Vector3& o) noexcept {
  const double ox = o(0), oy = o(1), oz = o(2);
  FixedMatrix<3, 6> a;
  a << 1.0, 0.0, 0.0, 0.0, oz, -oy,
       0.0, 1.0, 0.0, -oz, 0.0, ox,
       0.0, 0.0, 1.0, oy, -ox, 0.0;
  return a;
}

void place_arm(Arms& arms, int i, const Pose& m, const Vector3& anchor, double motor_arm_length, double angle,
               double cos_yaw, double sin_yaw) noexcept {
  const double cos_angle = std::cos(angle), sin_angle = std::sin(angle);
  const double c = motor_arm_length * cos_angle, s = motor_arm_length * sin_angle;
  Vector3 tip, motion;
  for (int k = 0; k < 3; ++k) {
    tip(k) = m(k, 0) * c + m(k, 1) * s + m(k, 3);
    motion(k) = m(k, 1) * c - m(k, 0) * s;
  }
  // The body's yaw turns both about the world z axis.
  arms.tip[i] = Vector3(cos_yaw * tip(0) - sin_yaw * tip(1), sin_yaw * tip(0) + cos_yaw * tip(1), tip(2));
  arms.motion[i] = Vector3(cos_yaw * motion(0) - sin_yaw * motion(1), sin_yaw * motion(0) + cos_yaw * motion(1),
                           motion(2));
  arms.anchor[i] = anchor;
  arms.cos_angle[i] = cos_angle;
  arms.sin_angle[i] = sin_angle;
}

void evaluate_rods(const Arms& arms, const Rotation& r, const Vector3& t, Rods& out) noexcept {
  double error = 0.0;
  bool finite = true;
  for (int i = 0; i < 6; ++i) {
    const Vector3& b = arms.anchor[i];
    Vector3 offset, rod;
    for (int k = 0; k < 3; ++k) {
      offset(k) = r(k, 0) * b(0) + r(k, 1) * b(1) + r(k, 2) * b(2);
      rod(k) = offset(k) + t(k) - arms.tip[i](k);
    }
    const double length = euclidean_norm(rod);
    out.offset[i] = offset;
    out.length[i] = length;
    // A rod that is not finite (a NaN or infinite angle, pose or yaw) has no
    // direction: NaN, so that whatever is derived from it says so, rather than
    // a zero that reads as a rod lying across its arm tip's motion.
    if (length > 0.0 && length < INFINITY) {
      out.direction[i] = rod / length;
    } else {
      out.direction[i] = length == 0.0 ? Vector3::Zero() : Vector3::Constant(NAN);
    }
    const double deviation = std::abs(length - arms.rod_length);
    finite = finite && deviation == deviation;
    error = deviation > error ? deviation : error;
  }
  out.error = finite ? error : NAN;
}

Matrix6 rod_jacobian(const Rods& rods, double length_scale) noexcept {
  Matrix6 j;
  for (int i = 0; i < 6; ++i) jacobian_row(rods.direction[i], anchor_jacobian(rods.offset[i]), j, i);
  j.rightCols<3>() *= 1.0 / length_scale;
  return j;
}

double mean_anchor_radius(const Arms& arms) noexcept {
  double sum = 0.0;
  for (const Vector3& anchor : arms.anchor) sum += euclidean_norm(anchor);
  const double mean = sum / 6.0;
  return mean > 0.0 ? mean : arms.rod_length;
}

}  // namespace tavrino::detail

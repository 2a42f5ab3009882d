#include <cmath>
#include <limits>

#include "kinematics/detail/pseudo_inverse_step.hpp"
#include "kinematics/detail/system_order.hpp"

namespace tavrino::detail {

namespace {

// Columns count as orthogonal once |a_p . a_q| <= tol |a_p| |a_q|. At a few
// units of roundoff the singular values are as accurate as double precision
// allows.
constexpr double kOrthogonality = 4 * std::numeric_limits<double>::epsilon();

// Quadratic convergence makes 6x6 matrices orthogonal within about six sweeps;
// the cap only guarantees an end for inputs that are not finite.
constexpr int kMaxSweeps = 40;

// Columns of a 6x6 matrix, each contiguous.
struct Columns {
  double c[kN][kN];
};

double dot(const double* x, const double* y) {
  double sum = 0.0;
  for (int i = 0; i < kN; ++i) sum += x[i] * y[i];
  return sum;
}

// x <- c x - s y, y <- s x + c y.
void rotate(double* x, double* y, double c, double s) {
  for (int i = 0; i < kN; ++i) {
    const double xi = x[i], yi = y[i];
    x[i] = c * xi - s * yi;
    y[i] = s * xi + c * yi;
  }
}

// One Jacobi rotation of columns p and q of A (and of V), chosen to make them
// orthogonal. Returns whether it rotated.
bool orthogonalise(Columns& a, Columns& v, int p, int q) {
  const double alpha = dot(a.c[p], a.c[p]);
  const double beta = dot(a.c[q], a.c[q]);
  const double gamma = dot(a.c[p], a.c[q]);
  if (!(std::abs(gamma) > kOrthogonality * std::sqrt(alpha) * std::sqrt(beta))) return false;
  // tan of the angle, the smaller root of t^2 + 2 zeta t - 1 = 0.
  const double zeta = (beta - alpha) / (2.0 * gamma);
  const double hypotenuse = std::abs(zeta) < 1e150 ? std::sqrt(1.0 + zeta * zeta) : std::abs(zeta);
  const double t = std::copysign(1.0, zeta) / (std::abs(zeta) + hypotenuse);
  const double c = 1.0 / std::sqrt(1.0 + t * t);
  const double s = c * t;
  rotate(a.c[p], a.c[q], c, s);
  rotate(v.c[p], v.c[q], c, s);
  return true;
}

}  // namespace

Vector6 pseudo_inverse_step_by_svd(const Matrix6& j, const Vector6& r) noexcept {
  // One-sided Jacobi (Hestenes): rotate the columns of A = J until they are
  // mutually orthogonal, A = J V. Then column k of A is sigma_k u_k, and
  // J+ r = sum over kept k of v_k (u_k . r) / sigma_k = v_k (a_k . r) / sigma_k^2.
  Columns a, v;
  for (int c = 0; c < kN; ++c) {
    for (int i = 0; i < kN; ++i) {
      a.c[c][i] = j(i, c);
      v.c[c][i] = i == c ? 1.0 : 0.0;
    }
  }
  for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
    bool rotated = false;
    for (int p = 0; p < kN - 1; ++p) {
      for (int q = p + 1; q < kN; ++q) rotated |= orthogonalise(a, v, p, q);
    }
    if (!rotated) break;
  }
  double rhs[kN];
  for (int i = 0; i < kN; ++i) rhs[i] = r(i);
  Vector6 step = Vector6::Zero();
  for (int k = 0; k < kN; ++k) {
    const double sigma = std::sqrt(dot(a.c[k], a.c[k]));
    if (!(sigma > kSingularValueThreshold)) continue;  // dropped, NaN included
    const double weight = dot(a.c[k], rhs) / sigma / sigma;
    for (int i = 0; i < kN; ++i) step(i) += v.c[k][i] * weight;
  }
  return step;
}

}  // namespace tavrino::detail

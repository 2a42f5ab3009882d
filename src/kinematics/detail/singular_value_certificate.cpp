#include <cmath>
#include <limits>

#include "kinematics/detail/pseudo_inverse_step.hpp"
#include "kinematics/detail/system_order.hpp"

namespace tavrino::detail {

namespace {

constexpr double kUnitRoundoff = std::numeric_limits<double>::epsilon() / 2;

// The rounding of G = J^T J (each entry a sum of six products) moves its
// eigenvalues by at most about 6u trace(G), and a floating-point Cholesky
// factorisation that succeeds proves positive definite a matrix within about
// 7u trace of the one factored (Demmel; Rump, "Verification of positive
// definiteness", 2006). 32u trace covers both, and the rounding of the shift
// itself, with room to spare.
constexpr double kRoundingAllowance = 32 * kUnitRoundoff;

}  // namespace

bool singular_values_certified_above(const Matrix6& j, double bound) noexcept {
  // The upper triangle of G = J^T J, row by row.
  double g[kN][kN];
  double trace = 0.0;
#pragma GCC unroll 6
  for (int a = 0; a < kN; ++a) {
#pragma GCC unroll 6
    for (int b = a; b < kN; ++b) {
      double sum = 0.0;
#pragma GCC unroll 6
      for (int i = 0; i < kN; ++i) sum += j(i, a) * j(i, b);
      g[a][b] = sum;
    }
    trace += g[a][a];
  }
  if (!std::isfinite(trace)) return false;
  // sigma_min(J)^2 = lambda_min(G) > bound^2 if G - s I is positive definite.
  const double shift = bound * bound + kRoundingAllowance * trace;
  // Cholesky G - s I = R^T R, R upper triangular, over g in place.
#pragma GCC unroll 6
  for (int k = 0; k < kN; ++k) {
    double pivot = g[k][k] - shift;
#pragma GCC unroll 6
    for (int m = 0; m < k; ++m) pivot -= g[m][k] * g[m][k];
    if (!(pivot > 0.0)) return false;  // also for NaN
    const double diagonal = std::sqrt(pivot);
    g[k][k] = diagonal;
#pragma GCC unroll 6
    for (int b = k + 1; b < kN; ++b) {
      double sum = g[k][b];
#pragma GCC unroll 6
      for (int m = 0; m < k; ++m) sum -= g[m][k] * g[m][b];
      g[k][b] = sum / diagonal;
    }
  }
  return true;
}

}  // namespace tavrino::detail

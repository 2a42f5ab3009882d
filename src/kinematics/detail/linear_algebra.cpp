#include "linear_algebra.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace tavrino::detail {

namespace {

// One elimination for every 6x6 system: the augmented rows [A | b], swapped
// through `row` rather than moved. Whether the columns are scaled is decided at
// compile time, so that the forward step's unscaled solve stays as lean as it
// always was.
template <bool kUnitColumns>
std::optional<Vector6> eliminate(const Matrix6& matrix, const Vector6& b, double pivot_floor) noexcept {
  double scale[kN];
  if constexpr (kUnitColumns) {
    for (int c = 0; c < kN; ++c) {
      double sum = 0.0;
      for (int i = 0; i < kN; ++i) sum += matrix(i, c) * matrix(i, c);
      if (!(sum > 0.0 && std::isfinite(sum))) return std::nullopt;
      scale[c] = 1.0 / std::sqrt(sum);
    }
  }
  double a[kN][kN + 1];
  int row[kN];
#pragma GCC unroll 6
  for (int i = 0; i < kN; ++i) {
#pragma GCC unroll 6
    for (int c = 0; c < kN; ++c) {
      if constexpr (kUnitColumns) {
        a[i][c] = matrix(i, c) * scale[c];
      } else {
        a[i][c] = matrix(i, c);
      }
    }
    a[i][kN] = b(i);
    row[i] = i;
  }
#pragma GCC unroll 6
  for (int k = 0; k < kN; ++k) {
    int pivot = k;
#pragma GCC unroll 6
    for (int i = k + 1; i < kN; ++i) {
      if (std::abs(a[row[i]][k]) > std::abs(a[row[pivot]][k])) pivot = i;
    }
    std::swap(row[k], row[pivot]);
    const double* top = a[row[k]];
    if (!(std::abs(top[k]) > pivot_floor)) return std::nullopt;
#pragma GCC unroll 6
    for (int i = k + 1; i < kN; ++i) {
      double* below = a[row[i]];
      const double factor = below[k] / top[k];
#pragma GCC unroll 6
      for (int c = k + 1; c <= kN; ++c) below[c] -= factor * top[c];
    }
  }
  Vector6 x;
#pragma GCC unroll 6
  for (int k = kN - 1; k >= 0; --k) {
    const double* u = a[row[k]];
    double sum = u[kN];
#pragma GCC unroll 6
    for (int c = k + 1; c < kN; ++c) sum -= u[c] * x(c);
    x(k) = sum / u[k];
  }
  if constexpr (kUnitColumns) {
    for (int c = 0; c < kN; ++c) x(c) *= scale[c];
  }
  return x;
}

}  // namespace

std::optional<Vector6> solve_linear(const Matrix6& a, const Vector6& b, Columns columns, double pivot_floor) noexcept {
  return columns == Columns::unit_length ? eliminate<true>(a, b, pivot_floor) : eliminate<false>(a, b, pivot_floor);
}

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

namespace {

// Columns count as orthogonal once |a_p . a_q| <= tol |a_p| |a_q|. At a few
// units of roundoff the singular values are as accurate as double precision
// allows.
constexpr double kOrthogonality = 4 * std::numeric_limits<double>::epsilon();

// Quadratic convergence makes 6x6 matrices orthogonal within about six sweeps;
// the cap only guarantees an end for inputs that are not finite.
constexpr int kMaxSweeps = 40;

// The columns of a 6x6 matrix, each contiguous.
struct ColumnArrays {
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
bool orthogonalise(ColumnArrays& a, ColumnArrays& v, int p, int q) {
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
  ColumnArrays a, v;
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

Vector6 pseudo_inverse_step(const Matrix6& j, const Vector6& r) noexcept {
  // With every singular value above twice the threshold, none is dropped and
  // J+ = J^-1; the margin keeps the choice away from singular values whose
  // computed value could fall on either side of 1e-6. A certified matrix has no
  // zero pivot; should rounding ever make one, the decomposition still answers.
  if (singular_values_certified_above(j, kCertifiedSingularValue)) {
    if (const std::optional<Vector6> x = solve_linear(j, r, Columns::as_given, 0.0)) return *x;
  }
  return pseudo_inverse_step_by_svd(j, r);
}

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
// QL needs one or two iterations per eigenvalue; the cap only ends the loop for
// inputs that are not finite.
constexpr int kMaxIterations = 30;

// Householder reduction of the symmetric a (lower triangle) to tridiagonal form:
// diagonal d, subdiagonal e[1..n-1] (e[0] = 0).
void tridiagonalise(double a[kN][kN], double d[kN], double e[kN]) {
  for (int i = kN - 1; i > 0; --i) {
    const int l = i - 1;
    double h = 0.0;
    if (l > 0) {
      double scale = 0.0;
      for (int k = 0; k <= l; ++k) scale += std::abs(a[i][k]);
      if (scale == 0.0) {
        e[i] = a[i][l];  // the row is already reduced
      } else {
        const double inverse_scale = 1.0 / scale;
        for (int k = 0; k <= l; ++k) {
          a[i][k] *= inverse_scale;
          h += a[i][k] * a[i][k];
        }
        double f = a[i][l];
        double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
        e[i] = scale * g;
        h -= f * g;
        a[i][l] = f - g;
        f = 0.0;
        const double inverse_h = 1.0 / h;
        for (int j = 0; j <= l; ++j) {
          g = 0.0;
          for (int k = 0; k <= j; ++k) g += a[j][k] * a[i][k];
          for (int k = j + 1; k <= l; ++k) g += a[k][j] * a[i][k];
          e[j] = g * inverse_h;
          f += e[j] * a[i][j];
        }
        const double hh = f / (h + h);
        for (int j = 0; j <= l; ++j) {
          f = a[i][j];
          e[j] = g = e[j] - hh * f;
          for (int k = 0; k <= j; ++k) a[j][k] -= f * e[k] + g * a[i][k];
        }
      }
    } else {
      e[i] = a[i][l];
    }
  }
  e[0] = 0.0;
  for (int i = 0; i < kN; ++i) d[i] = a[i][i];
}

// Implicit QL on the tridiagonal (d, e): d becomes the eigenvalues.
void tridiagonal_ql(double d[kN], double e[kN]) {
  for (int i = 1; i < kN; ++i) e[i - 1] = e[i];
  e[kN - 1] = 0.0;
  for (int l = 0; l < kN; ++l) {
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
      int m = l;
      for (; m < kN - 1; ++m) {
        const double dd = std::abs(d[m]) + std::abs(d[m + 1]);
        if (!(std::abs(e[m]) > kEpsilon * dd)) break;  // split here (also ends on NaN)
      }
      if (m == l) break;
      double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
      double r = std::sqrt(g * g + 1.0);
      g = d[m] - d[l] + e[l] / (g + std::copysign(r, g));
      double s = 1.0, c = 1.0, p = 0.0;
      int i = m - 1;
      bool underflow = false;
      for (; i >= l; --i) {
        const double f = s * e[i];
        const double b = c * e[i];
        r = std::sqrt(f * f + g * g);  // the values are of the matrix's scale: no overflow
        e[i + 1] = r;
        if (r == 0.0) {
          d[i + 1] -= p;
          e[m] = 0.0;
          underflow = true;
          break;
        }
        const double inverse_r = 1.0 / r;
        s = f * inverse_r;
        c = g * inverse_r;
        g = d[i + 1] - p;
        r = (d[i] - g) * s + 2.0 * c * b;
        p = s * r;
        d[i + 1] = g + p;
        g = c * r - b;
      }
      if (underflow) continue;
      d[l] -= p;
      e[l] = g;
      e[m] = 0.0;
    }
  }
}

}  // namespace

std::array<double, 6> symmetric_eigenvalues(const Matrix6& matrix) noexcept {
  double a[kN][kN], d[kN], e[kN];
  for (int i = 0; i < kN; ++i) {
    for (int j = 0; j <= i; ++j) a[i][j] = matrix(i, j);
  }
  tridiagonalise(a, d, e);
  tridiagonal_ql(d, e);
  std::array<double, 6> out;
  for (int i = 0; i < kN; ++i) out[i] = d[i];
  return out;
}

}  // namespace tavrino::detail

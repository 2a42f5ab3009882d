#include "kinematics/detail/symmetric_eigenvalues.hpp"

#include <cmath>
#include <limits>

#include "kinematics/detail/system_order.hpp"

namespace tavrino::detail {

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

#include "kinematics/yaw_limit.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

#include "kinematics/internal_error.hpp"

namespace tavrino {

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

}  // namespace tavrino

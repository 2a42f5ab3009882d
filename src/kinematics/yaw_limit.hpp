#pragma once

#include <optional>
#include <string>

#include "pose.hpp"

namespace tavrino {

// lo when x < lo, hi when x > hi, otherwise x (so NaN stays NaN). A band with
// lo > hi, or a NaN end, is a broken precondition: InternalError with the message
// "min > max, or either was NaN. min = <lo>, max = <hi>"; nothing else is thrown
// (bar std::bad_alloc while building that message).
double clamp_checked(double x, double lo, double hi);

// The shortest text that reads back to the same double, always with a point or an
// exponent: "0.5", "-1.0", "1e-5", "2.5e16", "NaN", "inf".
// Throws: std::bad_alloc only.
std::string format_double(double value);

// The body yaw to use for a desired one: moved into the band of half-width
// max_relative_yaw around the platform's own yaw, then into [-max_body_yaw,
// max_body_yaw]. Without a desired body yaw the result is 0.0 and the limits are
// not looked at. Allocates nothing unless it throws.
// Throws: InternalError("min > max, or either was NaN. ...") when a body yaw is
// given with a limit that is negative or NaN (the relative one is checked first);
// nothing else.
double limit_body_yaw(const Pose& t_world_platform, std::optional<double> body_yaw,
                      std::optional<double> max_relative_yaw, std::optional<double> max_body_yaw);

}  // namespace tavrino

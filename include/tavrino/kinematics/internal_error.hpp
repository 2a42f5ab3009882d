#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace tavrino {

// The messages of the broken preconditions that end a solver call. They are part
// of the Python interface (callers match on them), hence fixed texts.
inline constexpr const char* kSingularPoseMessage = "called `Option::unwrap()` on a `None` value";
inline constexpr const char* kPoisonedLockMessage =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";
inline constexpr const char* kForwardKinematicsBranchCountMessage =
    "Forward kinematics requires exactly 6 joint angles";
// Velocity kinematics and conditioning work on exactly six branches.
inline constexpr const char* kSixBranchesMessage = "The model must have exactly 6 branches";
// A caller-provided result buffer whose size does not match the model's branches.
inline constexpr const char* kAngleBufferSizeMessage =
    "The result buffer must hold one angle per branch (and the body yaw first, if safe)";

// An unrecoverable failure inside a call: a broken precondition, not bad input
// that the caller could have been told about with an ordinary error. It carries
// where it was raised so that whoever reports it can say so; the core itself
// never prints anything. The core throws nothing else but std::bad_alloc, and
// that only from the calls that build a model or return a std::vector.
class InternalError : public std::exception {
 public:
  explicit InternalError(std::string message,
                         std::source_location where = std::source_location::current());

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

}  // namespace tavrino

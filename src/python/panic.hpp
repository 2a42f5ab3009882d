#pragma once

#include <source_location>
#include <string>
#include <string_view>

#include <tavrino/kinematics/internal_error.hpp>

#include "python/python_api.hpp"
#include "python/reference.hpp"

namespace tavrino::python {

// PanicException is how an internal error reaches Python. It derives from
// BaseException so that `except Exception` does not swallow it. The class is
// created on first need and kept for the life of the process; it is not an
// attribute of the module. Creating it cannot fail short of the interpreter
// being broken, and then the process is aborted.
PyObject* panic_exception_type() noexcept;

// An internal error that started as a PanicException raised by Python code the
// module called (a __float__ or __getitem__, say). Kept apart from
// InternalError because the diagnostic line was never written for it: Python
// already printed its traceback when it was resumed.
class ResumedPanic {
 public:
  explicit ResumedPanic(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// The message of an internal error that carries no text at all (a thrown value
// that is not an exception class of ours or the standard library's). An empty
// text is still a text: a PanicException("") raised by Python code is resumed
// with "".
inline constexpr std::string_view kNoMessageFallback = "internal error without a message";

// Writes the one diagnostic line of a new internal error to standard error:
// the thread, where it was raised, and its message.
void report_internal_error(std::string_view message, const std::source_location* where) noexcept;

// Makes PanicException(message) the pending exception.
void raise_panic(std::string_view message) noexcept;

// report_internal_error followed by raise_panic.
void raise_new_panic(const InternalError& error) noexcept;

// For a fetched PanicException: writes the resumption notice and the Python
// traceback (which clears the exception), then throws ResumedPanic with the
// exception's message.
[[noreturn]] void resume_panic(Reference type, Reference value, Reference traceback);

}  // namespace tavrino::python

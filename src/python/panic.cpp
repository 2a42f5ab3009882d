#include "python/panic.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "python/python_error.hpp"
#include "python/text.hpp"

// PyErr_Fetch and PyErr_Restore are deprecated from Python 3.12 on; they remain
// the interface that every supported version has.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace tavrino::python {

namespace {

constexpr const char* kPanicExceptionName = "pyo3_runtime.PanicException";
constexpr const char* kPanicExceptionDoc =
    "\n"
    "The exception raised when compiled code called from Python ends in an internal error.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr std::string_view kUnprintablePanicMessage = "Unwrapped panic from Python code";

// Written under the interpreter lock only: the first stored class stays.
PyObject* panic_exception_class = nullptr;

std::string thread_label() {
  const long tid = syscall(SYS_gettid);
  if (tid == static_cast<long>(getpid())) return "main";
  return std::to_string(tid);
}

// Source locations are recorded as the compiler saw the file; the build passes
// the project root so that the line names the file within the project.
std::string_view project_relative(std::string_view path) {
#ifdef TTK_SOURCE_ROOT
  constexpr std::string_view root = TTK_SOURCE_ROOT;
  if (path.starts_with(root)) path.remove_prefix(root.size());
#endif
  return path;
}

[[noreturn]] void abort_at_boundary(std::string_view message,
                                    std::source_location where = std::source_location::current()) {
  report_internal_error(message, &where);
  const std::source_location here = std::source_location::current();
  report_internal_error("uncaught panic at ffi boundary", &here);
  std::abort();
}

PyObject* create_panic_exception_class() noexcept {
  // Creating a class runs interpreter code, which must not see a pending error.
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject* created = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc,
                                                PyExc_BaseException, nullptr);
  if (!created) {
    PyErr_Print();
    abort_at_boundary("Failed to initialize new exception type.");
  }
  PyErr_Restore(type, value, traceback);
  return created;
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (!panic_exception_class) panic_exception_class = create_panic_exception_class();
  return panic_exception_class;
}

void report_internal_error(std::string_view message, const std::source_location* where) noexcept {
  std::string line = concat({"thread '", thread_label(), "' panicked"});
  if (where) {
    line += concat({" at ", project_relative(where->file_name()), ":", std::to_string(where->line()), ":",
                    std::to_string(where->column())});
  }
  line += concat({": ", message, "\n"});
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void raise_panic(std::string_view message) noexcept {
  PyObject* type = panic_exception_type();
  Reference text(new_string_lossy(message));
  if (!text) return;  // the MemoryError that prevented it stays pending
  PyErr_SetObject(type, text.get());
  normalise_pending_error();
}

void raise_new_panic(const InternalError& error) noexcept {
  report_internal_error(error.message(), &error.where());
  raise_panic(error.message());
}

void resume_panic(Reference type, Reference value, Reference traceback) {
  std::string message = str_of(value.get()).value_or(std::string(kUnprintablePanicMessage));
  std::fputs(
      "--- PanicException fetched from Python code: resuming it as an internal error ---\n"
      "Python stack trace below:\n",
      stderr);
  std::fflush(stderr);
  PyErr_Restore(type.release(), value.release(), traceback.release());
  PyErr_PrintEx(0);
  throw ResumedPanic(std::move(message));
}

}  // namespace tavrino::python

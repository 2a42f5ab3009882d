#include "python/boundary.hpp"

#include <exception>
#include <new>

#include <tavrino/kinematics/internal_error.hpp>

#include "python/panic.hpp"
#include "python/python_error.hpp"

// PyErr_Fetch and PyErr_Restore are deprecated from Python 3.12 on; they remain
// the interface that every supported version has.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace tavrino::python {

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (PythonError& error) {
    std::move(error).restore();
  } catch (const ResumedPanic& resumed) {
    raise_panic(resumed.message());
  } catch (const InternalError& error) {
    raise_new_panic(error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    report_internal_error(error.what(), nullptr);
    raise_panic(error.what());
  } catch (...) {
    report_internal_error(kNoMessageFallback, nullptr);
    raise_panic(kNoMessageFallback);
  }
}

void write_current_exception_unraisable() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  raise_current_exception();
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(type, value, traceback);
}

}  // namespace tavrino::python

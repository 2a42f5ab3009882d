# Eigen 3.4, from wherever the builder has it:
#   - an Eigen3_DIR given on the command line (or a CMAKE_PREFIX_PATH holding it);
#   - PyPI's cmeel-eigen in the Python that CMake finds: it installs into
#     site-packages/cmeel.prefix, which CMake does not search by itself, and
#     `python -m cmeel cmake` prints that prefix;
#   - the system (Debian's libeigen3-dev).
# When the module is built, the Python one comes first, so that the module is
# built against the Eigen its build requirements pin (pip's isolated build
# environment always has it). A core-only build looks at the system first and
# asks a Python interpreter only when that fails.

function(_ttk_append_cmeel_prefix python)
  execute_process(
    COMMAND "${python}" -m cmeel cmake
    OUTPUT_VARIABLE prefix
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE result)
  if(result EQUAL 0 AND prefix)
    # cmeel joins its prefixes with ':', which is not a CMake list separator.
    string(REPLACE ":" ";" prefix "${prefix}")
    list(APPEND CMAKE_PREFIX_PATH ${prefix})
    set(CMAKE_PREFIX_PATH "${CMAKE_PREFIX_PATH}" PARENT_SCOPE)
  endif()
endfunction()

if(Python_Interpreter_FOUND)
  _ttk_append_cmeel_prefix("${Python_EXECUTABLE}")
endif()
find_package(Eigen3 3.4 QUIET NO_MODULE)
if(NOT Eigen3_FOUND AND NOT Python_Interpreter_FOUND)
  find_package(Python 3 QUIET COMPONENTS Interpreter)
  if(Python_Interpreter_FOUND)
    _ttk_append_cmeel_prefix("${Python_EXECUTABLE}")
    find_package(Eigen3 3.4 QUIET NO_MODULE)
  endif()
endif()
if(NOT Eigen3_FOUND)
  message(FATAL_ERROR
    "Eigen 3.4 was not found. Get it one of these ways, then configure again:\n"
    "  - from the system: sudo apt-get install libeigen3-dev (Debian, Ubuntu)\n"
    "  - from PyPI: python3 -m pip install cmeel-eigen (into the Python that CMake\n"
    "    finds, or pass -DPython_EXECUTABLE=/path/to/that/python)\n"
    "  - or point CMake at an Eigen 3.4 you have: -DEigen3_DIR=<dir holding Eigen3Config.cmake>")
endif()
message(STATUS "Eigen ${Eigen3_VERSION} from ${Eigen3_DIR}")

# Eigen 3.4 comes from PyPI's cmeel-eigen when the Python running the build has it
# (pip's isolated build environment always does), otherwise from the system.
# cmeel installs into site-packages/cmeel.prefix, which CMake does not search by itself.
find_package(Python 3.11 COMPONENTS Interpreter Development.Module)
if(Python_Interpreter_FOUND)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -m cmeel cmake
    OUTPUT_VARIABLE _ttk_cmeel_prefix
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE _ttk_cmeel_result)
  if(_ttk_cmeel_result EQUAL 0 AND _ttk_cmeel_prefix)
    string(REPLACE ":" ";" _ttk_cmeel_prefix "${_ttk_cmeel_prefix}")
    list(APPEND CMAKE_PREFIX_PATH ${_ttk_cmeel_prefix})
  endif()
endif()
find_package(Eigen3 3.4 REQUIRED NO_MODULE)
message(STATUS "Eigen ${Eigen3_VERSION} from ${Eigen3_DIR}")

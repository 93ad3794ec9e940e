# Finds the installed dependencies: Python (stable ABI), Boost headers, fmt, PEGTL, Arrow C++ from the pyarrow wheel.

set(_py_components Interpreter Development.Module Development.SABIModule)
if(ORVIK_BUILD_TESTS)
  list(APPEND _py_components Development.Embed)
endif()
find_package(Python 3.11 REQUIRED COMPONENTS ${_py_components})
find_package(Boost 1.81 REQUIRED CONFIG)
find_package(fmt REQUIRED)
find_package(pegtl REQUIRED)
find_package(Threads REQUIRED)

# Arrow C++ comes with the pyarrow wheel: headers, and libarrow under a versioned name that
# create_library_symlinks() makes linkable.
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
    "import pyarrow as pa; pa.create_library_symlinks(); print(pa.get_include()); print(pa.get_library_dirs()[0])"
  OUTPUT_VARIABLE _pa_out OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE _pa_rc)
if(NOT _pa_rc EQUAL 0)
  message(FATAL_ERROR "pyarrow is needed to build (pip install -r requirements-dev.txt)")
endif()
string(REPLACE "\n" ";" _pa_lines "${_pa_out}")
list(GET _pa_lines 0 PYARROW_INCLUDE_DIR)
list(GET _pa_lines 1 PYARROW_LIBRARY_DIR)
add_library(orvik_arrow SHARED IMPORTED GLOBAL)
set_target_properties(orvik_arrow PROPERTIES
  IMPORTED_LOCATION "${PYARROW_LIBRARY_DIR}/libarrow.so"
  INTERFACE_INCLUDE_DIRECTORIES "${PYARROW_INCLUDE_DIR}")
message(STATUS "Arrow C++ from pyarrow: ${PYARROW_LIBRARY_DIR}")

# Finds the installed dependencies: Python (stable ABI), Boost headers, fmt, PEGTL, Arrow C++ from the pyarrow wheel.

set(_py_components Interpreter Development.Module Development.SABIModule)
if(ORVIK_BUILD_TESTS)
  list(APPEND _py_components Development.Embed)
endif()
# A missing dependency stops the configure naming the Debian package that provides it, all of which
# scripts/setup.sh installs.
macro(orvik_require package debian_package)
  find_package(${package} ${ARGN} QUIET)
  if(NOT ${package}_FOUND)
    message(FATAL_ERROR "${package} not found: install ${debian_package} (Debian packages; "
      "scripts/setup.sh installs every build dependency)")
  endif()
endmacro()

find_package(Python 3.11 COMPONENTS ${_py_components})
if(NOT Python_FOUND)
  message(FATAL_ERROR "Python 3.11 or later with its C headers not found for "
    "'${Python_EXECUTABLE}': for Debian's python3 install python3-dev (Debian package)")
endif()
orvik_require(Boost libboost1.81-dev 1.81 CONFIG)
orvik_require(fmt libfmt-dev)
orvik_require(pegtl tao-pegtl-dev)
find_package(Threads REQUIRED)
if(ORVIK_BUILD_TESTS)
  orvik_require(GTest "googletest libgtest-dev libgmock-dev")
  orvik_require(benchmark libbenchmark-dev)
endif()

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

#!/usr/bin/env bash
# Runs the Python tests against the sanitized module of a build folder (make asan, make tsan):
#   scripts/sanitized_pytest.sh address|thread <build dir> [pytest arguments, tests/python when none]
# The build made with -DORVIK_SANITIZE holds the package in <build>/python and the stand-in SDK in
# <build>/tests/standin. The interpreter is not instrumented, so the sanitizer runtime is
# preloaded, with libstdc++ beside it: the runtime looks up the real __cxa_throw when it starts,
# and Python itself does not load libstdc++. Every interpreter the tests start inherits all this
# through the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
sanitizer=$1
build=$(realpath "$2")
shift 2
PY=${PY:-$PWD/.venv/bin/python}
# Reports go to files, one per process, printed at the end: a report written to stderr is lost
# when pytest has captured it and the process then stops.
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
log=log_path=$reports/report

# The runtimes of the compiler that made the build.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
runtime_of() { "$cxx" -print-file-name="$1"; }

case $sanitizer in
  address)
    runtime=$(runtime_of libasan.so)
    # detect_leaks: at exit of every interpreter, leaks are reported and fail it.
    # intercept_tls_get_addr=0: the runtime of GCC 12 sometimes takes a dynamic TLS block for one
    #   with an old glibc header and its leak check then crashes ("Tracer caught signal 11").
    export ASAN_OPTIONS=$log:detect_leaks=1:intercept_tls_get_addr=0
    export UBSAN_OPTIONS=$log:halt_on_error=1:print_stacktrace=1
    # Python objects come from malloc too, so the leak check sees what they hold.
    export PYTHONMALLOC=malloc
    ;;
  thread)
    runtime=$(runtime_of libtsan.so)
    # ignore_noninstrumented_modules: what the interpreter, Arrow, numpy and ld.so do through
    #   intercepted calls (malloc, free) is not taken for their memory accesses; our code, all
    #   instrumented, is checked in full, and their locks still order it. Otherwise Arrow's
    #   function-local statics, read in uninstrumented code, and the dynamic TLS that glibc frees
    #   once a thread has ended are reported as races.
    # die_after_fork=0: a fork child starts the runtime's threads anew.
    # detect_deadlocks=0: before a fork, the jemalloc inside Arrow locks the mutexes of all its
    #   arenas, more than the 64 held locks the detector can follow (it stops the process). Lock
    #   order is still checked by the C++ tests.
    export TSAN_OPTIONS=$log:halt_on_error=1:ignore_noninstrumented_modules=1:die_after_fork=0
    TSAN_OPTIONS+=:detect_deadlocks=0
    ;;
  *)
    echo "usage: $0 address|thread <build dir> [pytest arguments]" >&2
    exit 2
    ;;
esac
if [[ ! -f $build/python/orvik_can/__init__.py ]]; then
  echo "$build holds no sanitized package: configure it with -DORVIK_SANITIZE" >&2
  exit 2
fi

export LD_PRELOAD="$runtime $(runtime_of libstdc++.so.6)${LD_PRELOAD:+ $LD_PRELOAD}"
export PYTHONPATH=$build/python${PYTHONPATH:+:$PYTHONPATH}
export ORVIK_SANITIZER=$sanitizer ORVIK_BUILD_DIR=$build ORVIK_STANDIN_DIR=$build/tests/standin
# pytest exits 5 when it collects nothing; that is not a failure of the code under test.
rc=0
"$PY" -m pytest -q "$@" || rc=$?
if [[ $rc -eq 5 ]]; then echo "pytest: no tests collected"; rc=0; fi
shopt -s nullglob
for report in "$reports"/report.*; do
  echo "--- $sanitizer sanitizer report of process ${report##*.}"
  cat "$report"
  rc=1
done
exit $rc

#!/usr/bin/env bash
# Runs every fuzz_* binary in <build-dir>/fuzz for <seconds> each, seeded from the test fixtures
# (and the shared DBC corpus when present). A crashing, hanging or leaking input is copied into
# fuzz/regressions/<fuzzer>/, where a C++ test replays it; the script then exits non-zero.
#   scripts/run_fuzzers.sh build/fuzz 60
set -uo pipefail
if [[ $# -ne 2 ]]; then
  echo "usage: $0 <build-dir> <seconds>" >&2
  exit 2
fi
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)"
seconds="$2"
shared_corpus="$root/../shared/corpus"

shopt -s nullglob
fuzzers=("$build"/fuzz/fuzz_*)
if ((${#fuzzers[@]} == 0)); then
  echo "run_fuzzers: no fuzz_* binaries in $build/fuzz" >&2
  exit 2
fi

status=0
for fuzzer in "${fuzzers[@]}"; do
  [[ -x $fuzzer && -f $fuzzer ]] || continue
  name="$(basename "$fuzzer")"
  corpus="$build/corpus-$name"
  artifacts="$build/artifacts-$name"
  mkdir -p "$corpus" "$artifacts"
  # Seeds: every fixture, and the shared corpus; libFuzzer keeps what it finds in $corpus.
  seeds=("$root/tests/fixtures")
  [[ -d $shared_corpus ]] && seeds+=("$shared_corpus")
  dict=()
  [[ -f $root/fuzz/$name.dict ]] && dict=(-dict="$root/fuzz/$name.dict")
  echo "run_fuzzers: $name for ${seconds}s"
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}" \
    "$fuzzer" "$corpus" "${seeds[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
      -max_len=262144 -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" \
      > "$build/$name.log" 2>&1
  rc=$?
  tail -n 12 "$build/$name.log"
  if ((rc != 0)); then
    status=1
    keep="$root/fuzz/regressions/$name"
    mkdir -p "$keep"
    for input in "$artifacts"/crash-* "$artifacts"/timeout-* "$artifacts"/oom-* "$artifacts"/leak-*; do
      cp "$input" "$keep/"
      echo "run_fuzzers: $name failed; kept $(basename "$input") in $keep"
    done
  fi
done
exit $status

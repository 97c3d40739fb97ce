#!/usr/bin/env bash
# Fuzzing: replays the seed corpora in fuzz/corpus, then fuzzes each target for
# a short budget. Any crash or failed check fails the stage.
#   KEDO_FUZZ_SECONDS  seconds of fuzzing per target (default 60)
set -euo pipefail
source "$ROOT/scripts/lib.sh"
ensure_debian_package /usr/bin/clang++ clang
ensure_debian_package "$(clang++ -print-runtime-dir)/libclang_rt.fuzzer-x86_64.a" libclang-rt-14-dev

SECONDS_PER_TARGET=${KEDO_FUZZ_SECONDS:-60}
CORPUS="$ROOT/fuzz/corpus"
WORK="$BUILD/fuzz-work"
rm -rf "$WORK"
mkdir -p "$WORK/fuzz_core" "$WORK/fuzz_unique_rows" "$WORK/artifacts"

# Runs a fuzzer command with its output in $WORK/<name>.log; shows the
# statistics, or the end of the log when the command fails.
run_logged() {
  local name=$1
  shift
  if ! "$@" >"$WORK/$name.log" 2>&1; then
    tail -n 60 "$WORK/$name.log" >&2
    echo "[fuzz] $name failed; reproducers in $WORK/artifacts" >&2
    return 1
  fi
  grep -E '^(stat::number_of_executed_units|stat::new_units_added|Done)' "$WORK/$name.log" || true
}

# The core under libFuzzer, ASan and UBSan.
cmake -S "$ROOT" -B "$BUILD/fuzz" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKEDO_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD/fuzz" --target fuzz_core
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
FUZZ_CORE="$BUILD/fuzz/fuzz/fuzz_core"
COMMON=(-timeout=20 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$WORK/artifacts/")
run_logged core-replay "$FUZZ_CORE" -runs=0 "${COMMON[@]}" "$CORPUS/fuzz_core"
run_logged core-fuzz "$FUZZ_CORE" -max_total_time="$SECONDS_PER_TARGET" -max_len=256 \
  "${COMMON[@]}" "$WORK/fuzz_core" "$CORPUS/fuzz_core"

# unique_rows itself through atheris, against the installed module.
cd "$ROOT"
run_logged py-replay "$PY" fuzz/fuzz_unique_rows.py -runs=0 "${COMMON[@]}" \
  "$CORPUS/fuzz_unique_rows"
run_logged py-fuzz "$PY" fuzz/fuzz_unique_rows.py -max_total_time="$SECONDS_PER_TARGET" \
  "${COMMON[@]}" "$WORK/fuzz_unique_rows" "$CORPUS/fuzz_unique_rows"

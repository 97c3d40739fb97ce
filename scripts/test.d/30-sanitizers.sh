#!/usr/bin/env bash
# The C++ unit tests and the Python suite under AddressSanitizer and
# UndefinedBehaviorSanitizer. Any sanitizer report fails the stage.
#   KEDO_SANITIZER_EXAMPLES   Hypothesis examples per property (default 25)
#   KEDO_SANITIZER_FUZZ_RUNS  random inputs for fuzz/fuzz_unique_rows.py (default 20000)
set -euo pipefail
source "$ROOT/scripts/lib.sh"
ensure_debian_package /usr/include/gtest/gtest.h libgtest-dev
ensure_debian_package "$(readlink -f "$(gcc -print-file-name=libasan.so)")" libasan8 libubsan1

LOGS="$BUILD/sanitizer-logs"
rm -rf "$LOGS"
mkdir -p "$LOGS"
# Reports go to $LOGS/report.<pid> as well, so that none is lost to output
# capture or to a subprocess.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:report_error_type=1:log_path=$LOGS/report
ASAN_COMMON=abort_on_error=1:strict_string_checks=1:log_path=$LOGS/report
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:$ASAN_COMMON

# Fails when a sanitizer wrote a report, even one that did not stop the run.
check_reports() {
  local reports
  reports=$(find "$LOGS" -name 'report.*' -size +0)
  if [ -n "$reports" ] || grep -q -E 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$@"; then
    [ -z "$reports" ] || cat $reports >&2
    echo "[sanitizers] sanitizer report: $reports $*" >&2
    return 1
  fi
}

# (a) The C++ unit tests.
cmake -S "$ROOT" -B "$BUILD/cpp-asan" -G Ninja -DKEDO_BUILD_TESTS=ON -DKEDO_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD/cpp-asan"
status=0
ctest --test-dir "$BUILD/cpp-asan" --output-on-failure 2>&1 | tee "$LOGS/ctest.log" || status=$?
check_reports "$LOGS/ctest.log"
[ "$status" -eq 0 ] || exit "$status"

# (b) The Python suite against an instrumented build of the module, imported
# through PYTHONPATH ahead of the normal install. The interpreter itself is not
# instrumented: the runtime is preloaded and leak checking is off.
cmake -S "$ROOT" -B "$BUILD/python-asan" -G Ninja -DKEDO_BUILD_PYTHON=ON -DKEDO_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$PY" \
  -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$BUILD/python-asan"

cd "$ROOT"
sanitized() {
  env LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:$ASAN_COMMON \
    PYTHONPATH="$BUILD/python-asan:$ROOT/scripts${PYTHONPATH:+:$PYTHONPATH}" \
    KEDO_SANITIZED=1 KEDO_SANITIZED_MODULE_DIR="$BUILD/python-asan" "$@"
}
# The stub tests look for the installed package, which this build is not.
sanitized "$PY" -m pytest -p pytest_sanitizers -p no:cacheprovider --capture=sys -q tests \
  --ignore=tests/typing "$@" 2>&1 |
  tee "$LOGS/pytest.log" || status=$?
check_reports "$LOGS/pytest.log"
[ "$status" -eq 0 ] || exit "$status"

# The fuzz harness of unique_rows as a plain randomized driver, with every
# dtype, layout and argument kind it knows.
sanitized "$PY" fuzz/fuzz_unique_rows.py --random "${KEDO_SANITIZER_FUZZ_RUNS:-20000}" \
  --module-dir "$BUILD/python-asan" 2>&1 | tee "$LOGS/fuzz-random.log"
check_reports "$LOGS/fuzz-random.log"

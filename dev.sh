#!/usr/bin/env bash
# kedo's developer entry point. Sets up everything it needs on first use.
#   ./dev.sh demo   weld a generated triangle soup and compare with numpy.unique
#   ./dev.sh test   run every test, C++ and Python
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
VENV=${KEDO_VENV:-$ROOT/.venv}
BUILD=${KEDO_BUILD_DIR:-$ROOT/build}
PY=$VENV/bin/python

log() { printf '[dev] %s\n' "$*" >&2; }

is_python313() {
  [ -x "$1" ] || command -v "$1" >/dev/null 2>&1 || return 1
  "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}

find_python313() {
  local candidate
  for candidate in "${KEDO_PYTHON:-}" python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13 \
    "$HOME"/.pyenv/versions/3.13*/bin/python3.13 /root/.pyenv/versions/3.13*/bin/python3.13; do
    [ -n "$candidate" ] || continue
    if is_python313 "$candidate"; then
      command -v "$candidate" 2>/dev/null || echo "$candidate"
      return 0
    fi
  done
  return 1
}

# Hash of the given files, to know when a step must run again.
stamp_of() { cat "$@" 2>/dev/null | sha256sum | cut -d' ' -f1; }

ensure_venv() {
  if ! is_python313 "$PY"; then
    local python
    python=$(find_python313) || { log "no Python 3.13 found; set KEDO_PYTHON"; exit 1; }
    log "creating $VENV with $python"
    rm -rf "$VENV"
    "$python" -m venv "$VENV"
  fi
  local want have
  want=$(stamp_of "$ROOT"/requirements/*.txt)
  have=$(cat "$VENV/.requirements-stamp" 2>/dev/null || true)
  if [ "$want" != "$have" ]; then
    log "installing Python dependencies"
    "$PY" -m pip install --quiet --upgrade pip
    local files=()
    for f in "$ROOT"/requirements/*.txt; do files+=(-r "$f"); done
    "$PY" -m pip install --quiet "${files[@]}"
    echo "$want" >"$VENV/.requirements-stamp"
  fi
  export PATH="$VENV/bin:$PATH"
}

ensure_module() {
  local want have
  want=$(cd "$ROOT" && stamp_of pyproject.toml CMakeLists.txt $(find src include kedo-stubs -type f | sort))
  have=$(cat "$VENV/.module-stamp" 2>/dev/null || true)
  if [ "$want" != "$have" ] || ! "$PY" -c 'import kedo' >/dev/null 2>&1; then
    log "building kedo"
    "$PY" -m pip install --quiet --no-build-isolation --no-deps \
      -C build-dir="$BUILD/python" "$ROOT"
    echo "$want" >"$VENV/.module-stamp"
  fi
}

# Every test stage is a script in scripts/test.d, run in name order with
# ROOT, VENV, PY and BUILD exported. A stage fails the run by exiting non-zero.
run_test_stages() {
  export ROOT VENV PY BUILD
  local stage
  for stage in "$ROOT"/scripts/test.d/*.sh; do
    log "stage $(basename "$stage")"
    bash "$stage" "$@"
  done
}

main() {
  local command=${1:-}
  shift || true
  case "$command" in
    demo)
      ensure_venv
      ensure_module
      "$PY" "$ROOT/examples/demo.py" "$@"
      ;;
    test)
      ensure_venv
      ensure_module
      run_test_stages "$@"
      ;;
    *)
      echo "usage: $0 demo|test [pytest arguments]" >&2
      exit 2
      ;;
  esac
}

main "$@"

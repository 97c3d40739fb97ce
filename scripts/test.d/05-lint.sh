#!/usr/bin/env bash
# Style: ruff on the Python code, clang-format on the C++ code.
set -euo pipefail
source "$ROOT/scripts/lib.sh"
cd "$ROOT"
"$VENV/bin/ruff" check .
"$VENV/bin/ruff" format --check .
ensure_debian_package /usr/bin/clang-format clang-format
clang-format --dry-run --Werror include/kedo/*.hpp src/*.cpp src/*.hpp tests/cpp/*.cpp \
  tests/cpp/*.hpp fuzz/*.cpp examples/cpp/*.cpp
echo "lint: clean"

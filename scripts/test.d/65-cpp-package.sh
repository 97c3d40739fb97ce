#!/usr/bin/env bash
# The C++ package: install the core headers and CMake config into a temporary
# prefix, then build and run examples/cpp against them with find_package(kedo).
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$ROOT" -B "$work/kedo" -G Ninja -DCMAKE_INSTALL_PREFIX="$work/prefix" >/dev/null
cmake --install "$work/kedo" >/dev/null
test -f "$work/prefix/include/kedo/kedo.hpp"
cmake -S "$ROOT/examples/cpp" -B "$work/example" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/example"
"$work/example/weld"

#!/usr/bin/env bash
# C++ unit tests of the core, through CTest.
set -euo pipefail
source "$ROOT/scripts/lib.sh"
ensure_debian_package /usr/include/gtest/gtest.h libgtest-dev
cmake -S "$ROOT" -B "$BUILD/cpp" -G Ninja -DKEDO_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD/cpp"
ctest --test-dir "$BUILD/cpp" --output-on-failure

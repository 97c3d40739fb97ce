#!/usr/bin/env bash
# The kedo-stubs package: mypy --strict accepts typed use of kedo, refuses every
# marked misuse, and stubtest finds the stub's names in the built module.
set -euo pipefail
cd "$ROOT/tests/typing"
mypy=("$PY" -m mypy --cache-dir "$BUILD/mypy-cache")
"${mypy[@]}" --strict usage.py
"$PY" usage.py

# Every line marked "# E:" and no other line must draw an error.
expected=$(grep -n '# E:' misuse.py | cut -d: -f1 | sort -nu)
found=$("${mypy[@]}" --strict misuse.py 2>&1 | sed -n 's/^misuse\.py:\([0-9]*\): error:.*/\1/p' | sort -nu || true)
if [ "$expected" != "$found" ]; then
  echo "misuse.py: mypy errors on lines [${found//$'\n'/ }], expected [${expected//$'\n'/ }]" >&2
  exit 1
fi
echo "mypy: usage.py clean, misuse.py refused on lines ${found//$'\n'/ }"
(cd "$BUILD" && "$PY" -m mypy.stubtest kedo)

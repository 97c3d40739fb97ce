#!/usr/bin/env bash
# The Python test suite against the installed module.
set -euo pipefail
cd "$ROOT"
"$PY" -m pytest tests "$@"

#!/usr/bin/env bash
# Writes the built-in sample to OUT: this project's own sources (text)
# followed by the executable PROGRAM (machine code and tables).
# Usage: make-sample.sh OUT PROGRAM
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
(cd "$ROOT" && find src tests -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z | xargs -0 cat) > "$1"
cat "$2" >> "$1"

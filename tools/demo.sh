#!/usr/bin/env bash
# Sets up everything, installs the package into .Rlib and runs the demo analysis.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/deps.sh
bash tools/install.sh
mkdir -p demo-output
R_LIBS="$top/.Rlib" Rscript tools/demo.R demo-output

#!/usr/bin/env bash
# Builds the package and installs it into the project-local library .Rlib,
# failing on any compiler warning in the package's own sources.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
mkdir -p .Rlib build
log=build/install.log
if ! R_MAKEVARS_USER="$top/tools/Makevars.warn" R CMD INSTALL --preclean --no-multiarch -l .Rlib . >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
# Leave no objects behind in the source tree.
find src -name '*.o' -delete
rm -f src/*.so
if grep -E '(warning|error):' "$log"; then
  echo "compiler warnings in the package build (see above)"
  exit 1
fi
echo "lumo installed into $top/.Rlib"

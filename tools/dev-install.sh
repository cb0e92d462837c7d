#!/usr/bin/env bash
# Builds and installs the package from a private copy of the source tree, so
# that several builds can run side by side without sharing object files.
#   tools/dev-install.sh NAME   -> installs into /tmp/lumo-dev-NAME/lib
set -euo pipefail
name=${1:?usage: tools/dev-install.sh NAME}
top=$(cd "$(dirname "$0")/.." && pwd)
work=/tmp/lumo-dev-$name
rm -rf "$work/src" && mkdir -p "$work/src/lumo" "$work/lib"
(cd "$top" && tar -cf - --exclude=.git --exclude='./build*' --exclude='*.o' --exclude='*.so' \
  --exclude=.Rlib --exclude='*.Rcheck' --exclude=demo-output .) | tar -xf - -C "$work/src/lumo"
R_MAKEVARS_USER="$top/tools/Makevars.warn" R CMD INSTALL --no-test-load -l "$work/lib" "$work/src/lumo" >"$work/install.log" 2>&1 || {
  cat "$work/install.log"; exit 1; }
grep -E 'warning:|error:' "$work/install.log" || true
echo "installed into $work/lib"

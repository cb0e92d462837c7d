#!/usr/bin/env bash
# Runs the examples of odp_test (500 genes, B = 20: the native kernels, the
# worker pool and a job's progress) in R under valgrind's memcheck, and fails on
# any error it reports. Skipped when valgrind is not installed. Expects the
# package installed in .Rlib (tools/install.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind: not installed, skipped"
  exit 0
fi
mkdir -p build
log=build/valgrind.log
if ! R_LIBS="$top/.Rlib" R -d "valgrind --error-exitcode=1" --vanilla --slave \
     -e 'library(lumo); example(odp_test, package = "lumo", ask = FALSE)' >"$log" 2>&1; then
  grep -E '^==[0-9]+==' "$log" | head -n 100
  echo "valgrind: the odp_test examples failed or memcheck reported errors (see $log)"
  exit 1
fi
grep -q 'odp_ts> top_genes(fit)' "$log" || { cat "$log"; echo "valgrind: the examples did not run"; exit 1; }
grep -E 'ERROR SUMMARY' "$log"

#!/usr/bin/env bash
# Installs what building and testing lumo needs, from Debian's packages, when missing.
set -euo pipefail
need=()
command -v R >/dev/null 2>&1 || need+=(r-base-dev)
[ -e /usr/share/R/include/R.h ] || need+=(r-base-dev)
Rscript -e 'quit(status = !requireNamespace("testthat", quietly = TRUE))' >/dev/null 2>&1 || need+=(r-cran-testthat)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
[ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
ls /usr/lib/*/libsleef.so /usr/lib/libsleef.so >/dev/null 2>&1 || need+=(libsleef-dev)
if [ "${LUMO_BENCH_DEPS:-0}" = 1 ]; then
  Rscript -e 'quit(status = !requireNamespace("fastcluster", quietly = TRUE))' >/dev/null 2>&1 || need+=(r-cran-fastcluster)
  Rscript -e 'quit(status = !requireNamespace("seriation", quietly = TRUE))' >/dev/null 2>&1 || need+=(r-cran-seriation)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

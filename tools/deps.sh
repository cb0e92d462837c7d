#!/usr/bin/env bash
# Installs what building and testing lumo needs, from Debian's packages, when missing.
set -euo pipefail
need=()
command -v R >/dev/null 2>&1 || need+=(r-base-dev)
[ -e /usr/share/R/include/R.h ] || need+=(r-base-dev)
# R packages, each from Debian when its namespace is missing.
rpkg() {
  Rscript -e "quit(status = !requireNamespace('$1', quietly = TRUE))" >/dev/null 2>&1 || need+=("$2")
}
if command -v Rscript >/dev/null 2>&1; then
  rpkg testthat r-cran-testthat
  rpkg qvalue r-bioc-qvalue
  rpkg limma r-bioc-limma
  rpkg BiocParallel r-bioc-biocparallel
  rpkg knitr r-cran-knitr
  rpkg rmarkdown r-cran-rmarkdown
  rpkg Biobase r-bioc-biobase
  rpkg SummarizedExperiment r-bioc-summarizedexperiment
  rpkg batchtools r-cran-batchtools
  rpkg pkgdown r-cran-pkgdown
  rpkg lintr r-cran-lintr
  rpkg bladderbatch r-bioc-bladderbatch
  rpkg lme4 r-cran-lme4
else
  need+=(r-cran-testthat r-bioc-qvalue r-bioc-limma r-bioc-biocparallel r-cran-knitr r-cran-rmarkdown r-bioc-biobase
         r-bioc-summarizedexperiment r-cran-batchtools r-cran-pkgdown r-cran-lintr r-bioc-bladderbatch r-cran-lme4)
fi
command -v pandoc >/dev/null 2>&1 || need+=(pandoc)
command -v chromium >/dev/null 2>&1 || need+=(chromium)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v clang-format >/dev/null 2>&1 || need+=(clang-format)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
[ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -e /usr/include/hwy/highway.h ] || need+=(libhwy-dev)
if [ "${LUMO_BENCH_DEPS:-0}" = 1 ]; then
  rpkg fastcluster r-cran-fastcluster
  rpkg seriation r-cran-seriation
  rpkg ALL r-bioc-all
  rpkg matrixStats r-cran-matrixstats
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

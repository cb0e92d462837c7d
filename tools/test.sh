#!/usr/bin/env bash
# Runs every test of lumo: the R-free core under CTest (plainly and under the
# sanitizers), the testthat suite through R, one analysis's examples under
# valgrind, R CMD check, and the documentation site in a headless browser.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash tools/deps.sh
# The slots of the native argument lists live in src/RArgs.h and R/native.R only.
bash tools/check-contract.sh
# clang-format and lintr find nothing to change.
bash tools/style.sh

# src/Makevars.in lists the objects one by one (no GNU make extensions): a source
# file missing from it would build under CMake but be absent from the package.
unlisted=$(cd src && for f in *.cpp threads/*.cpp cluster/*.cpp kernels/*.cpp simd/*.cpp; do
  grep -qE "(^|[[:space:]])${f%.cpp}\.o([[:space:]]|$)" Makevars.in || echo "$f"
done)
if [ -n "$unlisted" ]; then
  echo "src/Makevars.in does not list these sources: $unlisted"
  exit 1
fi

mkdir -p build
echo "== core tests (GoogleTest via CTest)"
cmake -S . -B build/core -DLUMO_WERROR=ON >build/cmake.log 2>&1 || { cat build/cmake.log; exit 1; }
cmake --build build/core -j"$(nproc)" 2>&1 | grep -vE '^\[ *[0-9]+%\]|^Consolidate|^Scanning|^gmake' || true
ctest --test-dir build/core --output-on-failure -j"$(nproc)" --timeout 600

# The same suite under ThreadSanitizer and AddressSanitizer + UBSan
# (LUMO_SANITIZERS=0 skips them for a quick local run).
if [ "${LUMO_SANITIZERS:-1}" != 0 ]; then
  bash tools/sanitize.sh
fi

echo "== R tests (testthat through R)"
bash tools/install.sh
R_LIBS="$top/.Rlib" Rscript -e '
  library(testthat); library(lumo)
  res <- as.data.frame(test_dir("tests/testthat", reporter = "summary", stop_on_failure = FALSE))
  failed <- sum(res$failed) + sum(res$error)
  cat(sprintf("\ntestthat: %d passed, %d failed, %d skipped\n", sum(res$passed), failed, sum(res$skipped)))
  quit(status = if (failed > 0) 1 else 0)'

echo "== the odp_test examples under valgrind"
bash tools/valgrind.sh

echo "== R CMD check"
rm -rf build/check && mkdir -p build/check
# Building the vignette installs the package from the source tree; leave no objects behind.
(cd build/check && R CMD build "$top" >build.log 2>&1) || { cat build/check/build.log; exit 1; }
find src -name '*.o' -delete
rm -f src/*.so
tarball=$(ls build/check/lumo_*.tar.gz)
# The testthat suite already ran above through the same R; the check covers the rest.
(cd build/check && _R_CHECK_FORCE_SUGGESTS_=false R_LIBS="$top/.Rlib" R CMD check --no-manual --no-tests "$(basename "$tarball")" >check.log 2>&1) || true
tail -n 30 build/check/check.log
status=$(grep -E '^Status:' build/check/check.log || echo "Status: ERROR (no status line)")
echo "$status"
if echo "$status" | grep -qE 'ERROR|WARNING'; then
  exit 1
fi

echo "== the package without Highway"
bash tools/no-highway.sh

echo "== documentation site (pkgdown, checked in headless Chromium)"
bash tools/site.sh
echo "all tests passed"

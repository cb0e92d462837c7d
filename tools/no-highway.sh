#!/usr/bin/env bash
# Builds the source tarball and installs it into a fresh library with Highway's
# headers hidden (a private mount namespace binds an empty folder over them, and
# pkg-config finds nothing), as on a machine without libhwy-dev. Then runs every help
# page's examples with that build, and checks that its ODP statistics and null
# statistics equal the Highway build's (.Rlib) within 1e-12.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
work=build/no-highway
rm -rf "$work" && mkdir -p "$work/lib" "$work/empty"
(cd "$work" && R CMD build --no-build-vignettes "$top" >build.log 2>&1) || { cat "$work/build.log"; exit 1; }
tarball=$(ls "$work"/lumo_*.tar.gz)
install="PKG_CONFIG_PATH=/nonexistent PKG_CONFIG_LIBDIR=/nonexistent R CMD INSTALL -l $work/lib $tarball"
if [ -d /usr/include/hwy ] && [ "$(id -u)" = 0 ] && unshare --mount true 2>/dev/null; then
  unshare --mount sh -c "mount --bind $work/empty /usr/include/hwy && $install" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; exit 1; }
else
  echo "no-highway: cannot hide /usr/include/hwy here; configuring with LUMO_HWY=no instead"
  LUMO_HWY=no sh -c "$install" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
fi
grep -q "Highway not found" "$work/install.log" || { echo "no-highway: configure still found Highway"; exit 1; }

odp_run='
  suppressMessages(library(lumo))
  set.seed(1)
  x <- matrix(rnorm(400 * 9), 400, 9) * sqrt(0.24 / rchisq(400, 3))
  x[1:40, 7:9] <- x[1:40, 7:9] + 1
  set.seed(2)
  fit <- odp_test(x, rep(1:3, each = 3), B = 10)
  saveRDS(list(path = .Call("GetOdpInstructionSet", PACKAGE = "lumo"), statistic = fit$table$statistic,
               null = fit$null), commandArgs(trailingOnly = TRUE)[1])'
R_LIBS="$top/$work/lib" Rscript -e "$odp_run" "$work/portable.rds"
R_LIBS="$top/.Rlib" Rscript -e "$odp_run" "$work/vector.rds"
R_LIBS="$top/$work/lib" Rscript -e '
  suppressMessages(library(lumo))
  for (topic in c("odp_test", "timecourse_test", "cluster_rows", "impute_knn", "lumo_test", "lumo_job")) {
    pdf(NULL); example(topic, package = "lumo", character.only = TRUE, echo = FALSE, ask = FALSE); dev.off()
  }
  a <- readRDS(file.path(commandArgs(trailingOnly = TRUE)[1], "portable.rds"))
  b <- readRDS(file.path(commandArgs(trailingOnly = TRUE)[1], "vector.rds"))
  rel <- function(u, v) max(abs(u - v) / pmax(abs(v), 1e-300))
  cat(sprintf("no-highway: examples ran; ODP path %s vs %s: statistics differ by %.2g, null statistics by %.2g (relative)\n",
              a$path, b$path, rel(a$statistic, b$statistic), rel(a$null, b$null)))
  if (a$path != "scalar" || rel(a$statistic, b$statistic) > 1e-12 || rel(a$null, b$null) > 1e-12)
    stop("the build without Highway does not match the Highway build")' "$top/$work"

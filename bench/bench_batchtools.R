# The cost of sending odp_test's bootstrap to a scheduler: batchtools workers in
# separate R processes (socket cluster functions, a registry on disk), against the
# same call run in this session on all cores.
#   R_LIBS=$PWD/.Rlib Rscript bench/bench_batchtools.R
# On one machine the workers share its cores, so the difference is the overhead of a
# scheduled run: writing the registry, starting R and loading lumo in every worker,
# the observed statistics that every worker computes, and collecting the results.
# On a cluster of W nodes the bootstrap part divides by W; scaling out pays when
# the serial time T exceeds about overhead x W / (W - 1).
suppressPackageStartupMessages(library(lumo))
options(width = 150)
batch <- BiocParallel::BatchtoolsParam(workers = 2, cluster = "socket", progressbar = FALSE)
timed <- function(f) system.time(f())[["elapsed"]]
invisible(suppressWarnings(odp_test(matrix(rnorm(60), 10, 6), rep(1:2, 3), B = 1)))  # loads limma and qvalue
rows <- list()
for (m in c(200L, 2000L, 10000L)) {
  set.seed(1)
  x <- matrix(rnorm(m * 10), m, 10) * sqrt(3 * 0.08 / rchisq(m, 3))
  g <- rep(1:2, 5)
  serial <- timed(function() odp_test(x, g, B = 100))
  observed <- timed(function() odp_test(x, g, B = 0))
  scheduled <- timed(function() odp_test(x, g, B = 100, BPPARAM = batch))
  rows[[length(rows) + 1L]] <- data.frame(genes = m, B = 100L, serial_s = serial, observed_only_s = observed,
                                          batchtools_2_workers_s = scheduled, overhead_s = scheduled - serial)
}
cat(sprintf("odp_test, 10 arrays, %d cores; batchtools socket cluster with 2 workers on this machine\n",
            parallel::detectCores()))
print(do.call(rbind, rows), digits = 3, row.names = FALSE)

# Times RunODP (synchronous) on simulated studies: n = 20 arrays in two groups,
# every gene a null gene, B = 10 bootstrap null data sets.
#   R_LIBS=.Rlib Rscript bench/bench_odp.R [m ...]
library(lumo)
source(file.path("tests", "testthat", "helper-odp.R"))

args <- commandArgs(trailingOnly = TRUE)
sizes <- if (length(args)) as.integer(args) else c(2000L, 5000L)
B <- 10L

rows <- lapply(sizes, function(m) {
  s <- odp_study(m = m, n1 = 10, n2 = 10, B = B, m0 = m, seed = m)
  t <- system.time(.Call("RunODP", s$arglist, FALSE, PACKAGE = "lumo"))[["elapsed"]]
  pairs <- m * m + m * m + B * (m * m + m * m)
  data.frame(m = m, n = 20L, B = B, seconds = t, pairs = pairs, ns_per_pair = 1e9 * t / pairs)
})
print(do.call(rbind, rows), digits = 4, row.names = FALSE)

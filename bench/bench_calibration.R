# Calibration of the bootstrap p-values on data without any effect: for each
# design, the median p-value (ideal 0.5) and the shares of genes with p below
# 0.05 and 0.01 (ideal 0.05 and 0.01), with two seeds of the bootstrap.
#   R_LIBS=.Rlib Rscript bench/bench_calibration.R [genes] [B]
library(lumo)
args <- commandArgs(trailingOnly = TRUE)
m <- if (length(args) >= 1) as.integer(args[1]) else 2000L
B <- if (length(args) >= 2) as.integer(args[2]) else 100L

set.seed(1)
N <- 6; s <- 4
ind <- rep(seq_len(N), each = s)
time <- rep(0:(s - 1), N) + rep(seq(0, 1, length.out = N), each = s)
noise <- matrix(rnorm(m * N * s), m, N * s)
baselines <- matrix(rnorm(m * N, sd = 2), m, N)[, ind]
group <- rep(1:2, length.out = N * s)

designs <- list(
  "ODP, two groups" = function() odp_test(noise, group, B = B),
  "time course, independent" = function() timecourse_test(noise, time, B = B),
  "time course, fixed baselines" = function() timecourse_test(noise + baselines, time, ind, B = B),
  "time course, random baselines" = function()
    timecourse_test(noise + baselines, time, ind, intercept = "random", B = B))

rows <- list()
for (d in names(designs)) for (seed in 1:2) {
  set.seed(100 + seed)
  p <- designs[[d]]()$table$p.value
  rows[[length(rows) + 1L]] <- data.frame(design = d, seed = seed, median_p = median(p),
                                          p_below_0.05 = mean(p < 0.05), p_below_0.01 = mean(p < 0.01))
}
print(do.call(rbind, rows), digits = 3, row.names = FALSE)

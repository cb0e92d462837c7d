# Times knnimp on genes x 50 arrays with 10% of the entries missing, kn = 10.
#   R_LIBS=... Rscript bench/bench_knn.R [p ...]
library(lumo)

args <- commandArgs(trailingOnly = TRUE)
sizes <- if (length(args)) as.integer(args) else c(2000L, 10000L, 20000L)
n <- 50L
kn <- 10L

time_knn <- function(p) {
  set.seed(p)
  x <- matrix(rnorm(p * n), p, n)
  imiss <- matrix(as.integer(runif(p * n) < 0.1), p, n)
  x[imiss > 0] <- 0
  irmiss <- as.integer(rowSums(imiss) > 0)
  t <- system.time(
    .Fortran("knnimp", x = x, ximp = x, p = p, n = n, imiss = imiss, irmiss = irmiss,
             kn = kn, workp = double(p), workn = double(max(n, kn + 1L)),
             iworkp = integer(p), iworkn = integer(n), PACKAGE = "lumo"))
  c(p = p, rows = sum(irmiss), seconds = unname(t["elapsed"]))
}

res <- t(sapply(sizes, time_knn))
res <- cbind(res, growth = c(NA, res[-1, "seconds"] / res[-nrow(res), "seconds"]),
             p_ratio_sq = c(NA, (res[-1, "p"] / res[-nrow(res), "p"])^2))
print(res, digits = 4)

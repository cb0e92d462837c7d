# Effect of the block size (maxp) of impute_knn on accuracy and time.
#
# A study of p genes x 30 arrays built from 200 co-expressed modules (a shared
# profile plus noise), with 5% of the entries masked. For each maxp the script
# prints the median time over the repetitions, its ratio to the unblocked run
# (maxp = Inf), and the root mean squared error on the masked entries beside two
# floors: the noise level (the best any imputation can do) and filling with row
# means. A second table times maxp = 1500 over growing p: the time should grow
# about linearly (ratio near the ratio of sizes), not quadratically.
#   R_LIBS=... Rscript bench/bench_impute.R [p]
#   LUMO_BENCH_REPS=k repeats each timing k times (default 3).
suppressPackageStartupMessages(library(lumo))
args <- commandArgs(trailingOnly = TRUE)
p <- if (length(args)) as.integer(args[1]) else 20000L
reps <- max(1L, as.integer(Sys.getenv("LUMO_BENCH_REPS", "3")))
n <- 30L
noise <- 0.5

study <- function(p, seed = 1) {
  set.seed(seed)
  profiles <- matrix(rnorm(200 * n), 200, n)
  x <- profiles[sample(200, p, replace = TRUE), ] + matrix(rnorm(p * n, sd = noise), p, n)
  masked <- x
  masked[sample(length(x), length(x) %/% 20)] <- NA
  list(x = x, masked = masked)
}

timed <- function(f) {
  secs <- numeric(reps)
  for (r in seq_len(reps)) {
    gc()
    secs[r] <- system.time(value <- f())[["elapsed"]]
  }
  list(value = value, seconds = median(secs))
}

rmse <- function(filled, s) sqrt(mean((filled - s$x)[is.na(s$masked)]^2))

s <- study(p)
rowmean_fill <- s$masked
gaps <- which(is.na(s$masked), arr.ind = TRUE)
rowmean_fill[gaps] <- rowMeans(s$masked, na.rm = TRUE)[gaps[, 1]]
cat(sprintf("%d genes x %d arrays, %d masked entries, %d repetition(s), median seconds\n",
            p, n, nrow(gaps), reps))
cat(sprintf("floors: noise sd %.3f, row-mean filling RMSE %.3f\n\n", noise, rmse(rowmean_fill, s)))

rows <- list()
for (maxp in c(300, 1500, 5000, Inf)) {
  t <- timed(function() impute_knn(s$masked, k = 10, maxp = maxp))
  rows[[length(rows) + 1L]] <- data.frame(maxp = maxp, seconds = t$seconds, rmse = rmse(t$value, s),
                                          mean_filled = nrow(attr(t$value, "mean_filled")))
}
tab <- do.call(rbind, rows)
tab$time_vs_unblocked <- tab$seconds / tab$seconds[tab$maxp == Inf]
print(tab, digits = 4, row.names = FALSE)

cat("\nScaling with maxp = 1500:\n")
sizes <- c(p %/% 4L, p %/% 2L, p, 2L * p)
grow <- do.call(rbind, lapply(sizes, function(q) {
  sq <- study(q, seed = 2)
  data.frame(p = q, seconds = timed(function() impute_knn(sq$masked, k = 10, maxp = 1500))$seconds)
}))
grow$time_ratio <- c(NA, grow$seconds[-1] / grow$seconds[-nrow(grow)])
grow$size_ratio <- c(NA, grow$p[-1] / grow$p[-nrow(grow)])
print(grow, digits = 4, row.names = FALSE)

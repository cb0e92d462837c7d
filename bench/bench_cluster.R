# Agglomerative clustering (Euclidean distance, centroid linkage): lumo's
# synchronous Cluster entry point against fastcluster::hclust(dist(x)^2,
# "centroid") and stats::hclust on the same data, n rows x 20 columns.
# Prints seconds, the ratio to fastcluster, the time exponent between
# successive sizes and whether the merge heights agree.
#   R_LIBS=... Rscript bench/bench_cluster.R [sizes...]
#   LUMO_BENCH_STATS=0 skips stats::hclust (slow at the largest sizes).
#   LUMO_BENCH_REPS=k times each method k times (default 3) and reports the
#   fastest run, which is the least disturbed by other work on the machine.
suppressPackageStartupMessages(library(lumo))
haveFast <- requireNamespace("fastcluster", quietly = TRUE)
if (!haveFast) cat("fastcluster is not installed (Debian: r-cran-fastcluster); its columns stay empty\n")
runStats <- Sys.getenv("LUMO_BENCH_STATS", "1") != "0"
reps <- max(1L, as.integer(Sys.getenv("LUMO_BENCH_REPS", "3")))

best_of <- function(f) {
  min(vapply(seq_len(reps), function(i) { gc(); system.time(f())[["elapsed"]] }, 0))
}

args <- commandArgs(trailingOnly = TRUE)
sizes <- if (length(args)) as.integer(args) else c(1000L, 2000L, 4000L, 8000L)

lumo_cluster <- function(x) {
  n <- nrow(x)
  merge <- integer(2L * (n - 1L))
  height <- double(n - 1L)
  order <- integer(n)
  secs <- numeric(reps)
  for (r in seq_len(reps)) {
    gc()
    secs[r] <- system.time(
      .Call("Cluster", as.double(x), n, ncol(x), merge, height, order, 0L, 0L,
            PACKAGE = "lumo"))[["elapsed"]]
  }
  list(merge = matrix(merge, ncol = 2L), height = height, secs = min(secs))
}

set.seed(42)
cat(sprintf("%6s %9s %9s %9s %8s %9s %s\n", "rows", "lumo [s]", "fast [s]", "stats [s]",
            "lumo/fc", "exponent", "heights"))
prev <- NULL
for (n in sizes) {
  x <- matrix(rnorm(n * 20L), n, 20L)
  ours <- lumo_cluster(x)
  fastSecs <- NA_real_
  agree <- "-"
  if (haveFast) {
    fc <- fastcluster::hclust(dist(x)^2, "centroid")
    fastSecs <- best_of(function() fastcluster::hclust(dist(x)^2, "centroid"))
    agree <- if (isTRUE(all.equal(sort(ours$height), sort(sqrt(fc$height)), tolerance = 1e-9)))
      "agree" else "DIFFER"
  }
  statsSecs <- NA_real_
  if (runStats)
    statsSecs <- best_of(function() stats::hclust(dist(x)^2, "centroid"))
  expo <- if (is.null(prev)) NA_real_ else log(ours$secs / prev$secs) / log(n / prev$n)
  cat(sprintf("%6d %9.2f %9.2f %9.2f %8.2f %9.2f %s\n", n, ours$secs, fastSecs, statsSecs,
              ours$secs / fastSecs, expo, agree))
  prev <- list(n = n, secs = ours$secs)
}

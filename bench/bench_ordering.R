# Optimal leaf ordering: lumo's ordering against seriation's OLO on the same
# tree and the same leaf distances, at 1,000, 2,000 and 4,000 rows x 20 columns.
# The time of lumo's ordering is that of a clustering with the optimal
# ordering less that of the same clustering without ordering; every time is
# the best of three runs.
#   R_LIBS=... Rscript bench/bench_ordering.R
suppressPackageStartupMessages({
  library(lumo)
  library(seriation)
})

cluster_rows <- function(x, orderMethod) {
  n <- nrow(x)
  merge <- integer(2L * (n - 1L))
  height <- double(n - 1L)
  order <- integer(n)
  secs <- system.time(
    .Call("Cluster", as.double(x), n, ncol(x), merge, height, order,
          as.integer(orderMethod), 0L, PACKAGE = "lumo"))[["elapsed"]]
  list(merge = merge, height = height, order = order, secs = secs)
}

best_of <- function(reps, f) {
  runs <- lapply(seq_len(reps), function(i) f())
  runs[[which.min(vapply(runs, function(r) r$secs, 0))]]
}

path_length <- function(d, ord) {
  m <- as.matrix(d)
  sum(m[cbind(ord[-length(ord)], ord[-1L])])
}

reps <- 3L
set.seed(1)
cat(sprintf("%6s %12s %10s %10s %7s %14s %14s\n", "rows", "cluster [s]", "lumo [s]", "OLO [s]",
            "ratio", "lumo length", "OLO length"))
for (n in c(1000L, 2000L, 4000L)) {
  x <- matrix(rnorm(n * 20L), n, 20L)
  plain <- best_of(reps, function() cluster_rows(x, 0L))
  optimal <- best_of(reps, function() cluster_rows(x, 2L))
  ours <- optimal$secs - plain$secs
  # The synchronous path reads merge before the ordering: the tree both
  # orderings start from.
  tree <- structure(list(merge = matrix(plain$merge, ncol = 2), height = plain$height,
                         order = plain$order + 1L, labels = NULL, method = "centroid"),
                    class = "hclust")
  d <- dist(x)
  olo <- NULL
  theirs <- min(vapply(seq_len(reps), function(i)
    system.time(olo <<- seriate(d, method = "OLO", control = list(hclust = tree)))[["elapsed"]], 0))
  lumoLen <- path_length(d, optimal$order + 1L)
  oloLen <- path_length(d, get_order(olo))
  cat(sprintf("%6d %12.2f %10.2f %10.2f %7.2f %14.6f %14.6f%s\n", n, plain$secs, ours, theirs,
              ours / theirs, lumoLen, oloLen,
              if (isTRUE(all.equal(lumoLen, oloLen))) "" else "   (lengths differ)"))
}

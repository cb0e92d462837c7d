# Optimal leaf ordering: lumo's ordering against seriation's OLO on the same
# tree and the same leaf distances, at 1,000, 2,000 and 4,000 rows x 20 columns.
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

path_length <- function(d, ord) {
  m <- as.matrix(d)
  sum(m[cbind(ord[-length(ord)], ord[-1L])])
}

set.seed(1)
cat(sprintf("%6s %10s %10s %7s %14s %14s\n", "rows", "lumo [s]", "OLO [s]",
            "ratio", "lumo length", "OLO length"))
for (n in c(1000L, 2000L, 4000L)) {
  x <- matrix(rnorm(n * 20L), n, 20L)
  plain <- cluster_rows(x, 0L)
  optimal <- cluster_rows(x, 2L)
  ours <- optimal$secs - plain$secs
  tree <- structure(list(merge = matrix(plain$merge, ncol = 2), height = plain$height,
                         order = plain$order + 1L, labels = NULL, method = "centroid"),
                    class = "hclust")
  d <- dist(x)
  theirs <- system.time(
    olo <- seriate(d, method = "OLO", control = list(hclust = tree)))[["elapsed"]]
  lumoLen <- path_length(d, optimal$order + 1L)
  oloLen <- path_length(d, get_order(olo))
  cat(sprintf("%6d %10.2f %10.2f %7.2f %14.6f %14.6f%s\n", n, ours, theirs,
              ours / theirs, lumoLen, oloLen,
              if (isTRUE(all.equal(lumoLen, oloLen))) "" else "   (lengths differ)"))
}

# Optimal leaf ordering: lumo's ordering against seriation's OLO on the same
# tree and the same leaf distances, at 1,000, 2,000 and 4,000 rows x 20 columns.
# lumo's ordering is timed twice: in the synchronous path, as a clustering
# with the optimal ordering less the same clustering without ordering (no
# progress reports), and inside a background job, from the ordering's first
# progress report (message id 2) to the job's end (a report per cost-table
# pair). Every time is the best of three runs.
#   R_LIBS=... Rscript bench/bench_ordering.R
suppressPackageStartupMessages({
  library(lumo)
  library(seriation)
})

# Wall time of the ordering phase of a background job, and the job's outputs.
ordering_job <- function(x) {
  n <- nrow(x)
  id <- .Call("StartClusteringThread", as.double(x), n, ncol(x), 2L, 0L, PACKAGE = "lumo")
  on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
  t0 <- NA
  repeat {
    p <- .Call("GetProgressValues", id, PACKAGE = "lumo")
    now <- proc.time()[["elapsed"]]
    if (is.na(t0) && p$msgid >= 2L) t0 <- now
    if (p$done == 1L || p$canceled == 1L) break
    Sys.sleep(0.001)
  }
  merge <- integer(2L * (n - 1L)); height <- double(n - 1L); order <- integer(n)
  .Call("FinishClusteringThread", id, merge, height, order, PACKAGE = "lumo")
  list(secs = now - t0, order = order)
}

cluster_sync <- function(x, order_method) {
  n <- nrow(x)
  merge <- integer(2L * (n - 1L)); height <- double(n - 1L); order <- integer(n)
  secs <- system.time(.Call("Cluster", as.double(x), n, ncol(x), merge, height, order,
                            as.integer(order_method), 0L, PACKAGE = "lumo"))[["elapsed"]]
  list(merge = merge, height = height, order = order, secs = secs)
}

best_secs <- function(runs) min(vapply(runs, function(r) r$secs, 0))

path_length <- function(d, ord) {
  m <- as.matrix(d)
  sum(m[cbind(ord[-length(ord)], ord[-1L])])
}

reps <- 3L
set.seed(1)
cat(sprintf("%6s %10s %10s %10s %7s %7s %14s %14s\n", "rows", "sync [s]", "job [s]", "OLO [s]",
            "ratio", "job/OLO", "lumo length", "OLO length"))
for (n in c(1000L, 2000L, 4000L)) {
  x <- matrix(rnorm(n * 20L), n, 20L)
  plain <- lapply(seq_len(reps), function(i) cluster_sync(x, 0L))
  optimal <- lapply(seq_len(reps), function(i) cluster_sync(x, 2L))
  sync <- best_secs(optimal) - best_secs(plain)
  job <- best_secs(lapply(seq_len(reps), function(i) ordering_job(x)))
  # The synchronous path reads merge before the ordering: the tree both
  # orderings start from.
  p <- plain[[1L]]
  tree <- structure(list(merge = matrix(p$merge, ncol = 2), height = p$height, order = p$order + 1L,
                         labels = NULL, method = "centroid"), class = "hclust")
  d <- dist(x)
  olo <- NULL
  theirs <- min(vapply(seq_len(reps), function(i) {
    system.time(olo <<- seriate(d, method = "OLO", control = list(hclust = tree)))[["elapsed"]]
  }, 0))
  lumo_len <- path_length(d, optimal[[1L]]$order + 1L)
  olo_len <- path_length(d, get_order(olo))
  cat(sprintf("%6d %10.3f %10.3f %10.3f %7.2f %7.2f %14.6f %14.6f%s\n", n, sync, job, theirs,
              sync / theirs, job / theirs, lumo_len, olo_len,
              if (isTRUE(all.equal(lumo_len, olo_len))) "" else "   (lengths differ)"))
}

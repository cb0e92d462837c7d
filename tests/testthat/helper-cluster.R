# Helpers of the clustering tests: run a clustering synchronously or as a
# background job and return merge, height and order as R receives them.

cluster_sync <- function(x, orderMethod = 0L, distanceMethod = 0L) {
  x <- as.matrix(x)
  n <- nrow(x)
  merge <- integer(2L * (n - 1L))
  height <- double(n - 1L)
  order <- integer(n)
  res <- .Call("Cluster", as.double(x), n, ncol(x), merge, height, order,
               orderMethod, distanceMethod, PACKAGE = "lumo")
  list(merge = merge, height = height, order = order, result = res)
}


cluster_job <- function(x, orderMethod = 0L, distanceMethod = 0L) {
  x <- as.matrix(x)
  n <- nrow(x)
  id <- .Call("StartClusteringThread", as.double(x), n, ncol(x), orderMethod, distanceMethod,
              PACKAGE = "lumo")
  on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
  wait_job(id)
  merge <- integer(2L * (n - 1L))
  height <- double(n - 1L)
  order <- integer(n)
  res <- .Call("FinishClusteringThread", id, merge, height, order, PACKAGE = "lumo")
  list(merge = merge, height = height, order = order, result = res)
}

# Sum of the distances between neighbouring rows in a 0-based order.
path_length <- function(d, order) {
  m <- as.matrix(d)
  o <- order + 1L
  sum(m[cbind(o[-length(o)], o[-1L])])
}

# Least path length over every orientation of the tree in merge (by enumeration).
best_path_length <- function(merge, d) {
  m <- as.matrix(d)
  orders <- function(code) {
    if (code < 0) return(list(-code))
    l <- orders(merge[code, 1L])
    r <- orders(merge[code, 2L])
    out <- list()
    for (a in l) for (b in r) out <- c(out, list(c(a, b), c(b, a)))
    out
  }
  all <- orders(nrow(merge))
  min(vapply(all, function(o) sum(m[cbind(o[-length(o)], o[-1L])]), 0))
}

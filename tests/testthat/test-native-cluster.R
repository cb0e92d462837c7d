# Cluster, StartClusteringThread, FinishClusteringThread: hclust layout in both
# paths, method codes, job control, and every refused argument.

cluster_sync <- function(x, order_method = 0L, distance_method = 0L) {
  x <- as.matrix(x); n <- nrow(x)
  merge <- integer(2L * (n - 1L)); height <- double(n - 1L); order <- integer(n)
  res <- .Call("Cluster", as.double(x), n, ncol(x), merge, height, order, order_method, distance_method,
               PACKAGE = "lumo")
  list(merge = merge, height = height, order = order, result = res)
}

cluster_job <- function(x, order_method = 0L, distance_method = 0L) {
  x <- as.matrix(x); n <- nrow(x)
  id <- .Call("StartClusteringThread", as.double(x), n, ncol(x), order_method, distance_method,
              PACKAGE = "lumo")
  on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
  wait_job(id)
  merge <- integer(2L * (n - 1L)); height <- double(n - 1L); order <- integer(n)
  res <- .Call("FinishClusteringThread", id, merge, height, order, PACKAGE = "lumo")
  list(merge = merge, height = height, order = order, result = res)
}

start_big <- function(n, seed) {
  set.seed(seed)
  .Call("StartClusteringThread", rnorm(n * 10), as.integer(n), 10L, 2L, 0L, PACKAGE = "lumo")
}

test_that("three rows give the tree in hclust layout; only the synchronous weight ordering reads merge first", {
  three <- matrix(c(0, 1, 5), ncol = 1)
  for (r in list(cluster_sync(three), cluster_job(three))) {
    expect_identical(r$merge, c(-1L, -3L, -2L, 1L))
    expect_equal(r$height, c(1, 4.5))
    expect_identical(r$order, c(2L, 0L, 1L))
  }
  expect_identical(cluster_sync(three)$result, integer(23))
  expect_identical(cluster_job(three)$result, integer(0))
  tree <- c("merge", "height", "order")
  expect_identical(cluster_sync(three, 1L)[tree], list(merge = c(-1L, -3L, -2L, 1L), height = c(1, 4.5), order = 0:2))
  expect_identical(cluster_job(three, 1L)[tree], list(merge = c(-1L, 1L, -2L, -3L), height = c(1, 4.5), order = 0:2))
})

test_that("both paths give the same tree and orders, and read the method codes alike", {
  set.seed(3)
  for (n in c(2L, 17L)) {
    x <- matrix(rnorm(n * 4), n, 4)
    for (om in 0:2) for (dm in 0:1) {
      s <- cluster_sync(x, om, dm); b <- cluster_job(x, om, dm)
      expect_identical(b$order, s$order)
      expect_identical(b$height, s$height)
      expect_setequal(s$order, 0:(n - 1L))
      if (om == 0L) expect_identical(b$merge, s$merge)   # the synchronous path reads merge before ordering
    }
  }
  # Unknown method codes are refused by both paths; doubles are read as codes.
  unknown <- list(refusal(list(3L, 0L), "ordering method 3 is unknown (0 none, 1 by weight, 2 optimal)"),
                  refusal(list(-1L, 0L), "ordering method -1 is unknown"),
                  refusal(list(NA_integer_, 0L), "ordering method NA is unknown"),
                  refusal(list(integer(0), 0L), "ordering method NA is unknown"),
                  refusal(list(0L, 2L), "distance method 2 is unknown (0 Euclidean, 1 correlation)"),
                  refusal(list(0L, NA_integer_), "distance method NA is unknown"))
  for (cs in unknown) for (run in list(cluster_sync, cluster_job))
    expect_error(do.call(run, c(list(x), cs$args)), cs$msg, fixed = TRUE, info = cs$msg)
  expect_identical(cluster_sync(x, 1, 1), cluster_sync(x, 1L, 1L))
})

test_that("data without ordered distances end in an R error naming the fault, in both paths", {
  for (bad in list(c(0, 1, NA, 5), c(0, 1, NaN, 5), c(0, Inf, -Inf, 5))) for (om in 0:2) {
    expect_error(cluster_sync(matrix(bad, ncol = 1), om), "not a number")
    expect_error(cluster_job(matrix(bad, ncol = 1), om), "An error occurred during clustering: .*not a number")
  }
  r <- cluster_sync(matrix(c(0, 1, Inf), ncol = 1))   # infinite but comparable distances are fine
  expect_identical(r$merge[c(1, 3)], c(-1L, -2L))
  expect_true(is.infinite(r$height[2]))
  flat <- rbind(matrix(1:8, 2), 5)
  msg <- "correlation value was outside the range (-1, 1)"
  expect_error(cluster_sync(flat, 0L, 1L), msg, fixed = TRUE)
  expect_error(cluster_job(flat, 0L, 1L), paste("An error occurred during clustering:", msg), fixed = TRUE)
})

test_that("a running job is not finished, a stopped one is canceled, a deleted one is gone", {
  id <- start_big(3000L, 1)
  merge <- integer(2 * 2999); height <- double(2999); order <- integer(3000)
  expect_error(.Call("FinishClusteringThread", id, merge, height, order, PACKAGE = "lumo"),
               "Thread is still running", fixed = TRUE)
  expect_true(all(merge == 0L) && all(order == 0L))
  expect_identical(.Call("StopThread", id, PACKAGE = "lumo"), 0L)
  expect_identical(.Call("GetProgressValues", id, PACKAGE = "lumo")$canceled, 1L)
  expect_error(.Call("FinishClusteringThread", id, merge, height, order, PACKAGE = "lumo"),
               "Thread was canceled", fixed = TRUE)
  expect_identical(.Call("DeleteThread", id, PACKAGE = "lumo"), 0L)
  expect_error(.Call("FinishClusteringThread", id, merge, height, order, PACKAGE = "lumo"),
               "Could not get information for thread id")
})

test_that("progress runs through clustering and the ordering phases; a result can be fetched twice", {
  id <- start_big(400L, 3)
  on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
  seen <- integer(0)
  repeat {
    p <- .Call("GetProgressValues", id, PACKAGE = "lumo")
    seen <- union(seen, p$msgid)
    if (p$done == 1L) break
  }
  phases <- lumo:::native_phases()
  expect_identical(phases[p$msgid + 1L], "optimal ordering: orienting")
  expect_equal(p$current, p$max - 1)
  expect_true(all(phases[seen + 1L] %in% c("computing distances", "merging clusters", "optimal ordering: costs",
                                           "optimal ordering: best pairs", "optimal ordering: orienting")))
  fetch <- function(out = list(merge = integer(798), height = double(399), order = integer(400))) {
    .Call("FinishClusteringThread", id, out$merge, out$height, out$order, PACKAGE = "lumo")
    out
  }
  expect_identical(fetch(), fetch())
  expect_setequal(fetch()$order, 0:399)
})

test_that("bad arguments are refused with an R error before anything is built", {
  x <- as.double(1:12)
  sync <- function(data = x, rows = 4L, cols = 3L, merge = integer(6), height = double(3), order = integer(4)) {
    .Call("Cluster", data, rows, cols, merge, height, order, 0L, 0L, PACKAGE = "lumo")
  }
  start <- function(data = x, rows = 4L, cols = 3L) {
    .Call("StartClusteringThread", data, rows, cols, 0L, 0L, PACKAGE = "lumo")
  }
  both <- list(quote(f(rows = NA_integer_)), "rows is not defined", quote(f(rows = integer(0))), "rows is not defined",
               quote(f(cols = NA)), "cols is not defined", quote(f(rows = 1L, cols = 12L)), "rows must be at least 2",
               quote(f(rows = 0L)), "rows must be at least 2", quote(f(rows = -4L)), "rows must be at least 2",
               quote(f(cols = 0L)), "cols must be positive", quote(f(cols = -3L)), "cols must be positive",
               quote(f(rows = 5L)), "data has 12 values; rows x cols = 15 are needed",
               quote(f(data = letters[1:12])), "data must be a numeric vector",
               quote(f(data = as.list(x))), "data must be a numeric vector",
               quote(f(data = NULL)), "data must be a numeric vector")
  for (f in list(sync, start)) for (i in seq(1, length(both), 2))
    expect_error(eval(both[[i]]), both[[i + 1]], fixed = TRUE, info = both[[i + 1]])
  outputs <- list(quote(sync(merge = double(6))), "merge must be an integer vector",
                  quote(sync(merge = integer(5))), "merge has length 5; 2 * (rows - 1) = 6 are needed",
                  quote(sync(merge = NULL)), "merge must be an integer vector",
                  quote(sync(height = integer(3))), "height must be a double vector",
                  quote(sync(height = double(2))), "height has length 2",
                  quote(sync(order = double(4))), "order must be an integer vector",
                  quote(sync(order = integer(3))), "order has length 3")
  for (i in seq(1, length(outputs), 2)) expect_error(eval(outputs[[i]]), outputs[[i + 1]], fixed = TRUE)
  # Integer data, double sizes and a longer data vector are fine.
  expect_identical(sync(data = 1:12), integer(23))
  expect_identical(sync(data = as.double(1:20), rows = 4, cols = 3), integer(23))
  # FinishClusteringThread checks its outputs and leaves the job intact.
  id <- .Call("StartClusteringThread", rnorm(20), 10L, 2L, 2L, 0L, PACKAGE = "lumo")
  on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
  wait_job(id)
  finish <- function(merge = integer(18), height = double(9), order = integer(10)) {
    .Call("FinishClusteringThread", id, merge, height, order, PACKAGE = "lumo")
  }
  expect_error(finish(merge = double(18)), "merge must be an integer vector")
  expect_error(finish(merge = integer(17)), "merge has length 17")
  expect_error(finish(height = double(8)), "height has length 8")
  expect_error(finish(order = 1:9), "order has length 9")
  order <- integer(10)
  expect_identical(finish(order = order), integer(0))
  expect_setequal(order, 0:9)
})

test_that("a clustering too large for memory fails with the memory message", {
  # 3,000,000 rows need a distance triangle of about 36 TB.
  x <- double(3e6)
  msg <- "Not enough memory. Your dataset may be too large."
  expect_error(.Call("Cluster", x, 3e6L, 1L, integer(2 * (3e6 - 1)), double(3e6 - 1), integer(3e6), 2L, 0L,
                     PACKAGE = "lumo"), msg, fixed = TRUE)
  expect_error(.Call("StartClusteringThread", x, 3e6L, 1L, 2L, 0L, PACKAGE = "lumo"), msg, fixed = TRUE)
})

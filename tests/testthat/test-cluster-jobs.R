# Background clustering jobs under job control: running, stopped and deleted
# jobs, and the checks every clustering entry point makes before it builds anything.

big <- function(n, p = 10L, seed = 1) {
  set.seed(seed)
  matrix(rnorm(n * p), n, p)
}

test_that("a running job is not finished and a stopped one is canceled", {
  x <- big(3000L)
  id <- .Call("StartClusteringThread", as.double(x), 3000L, 10L, 2L, 0L, PACKAGE = "lumo")
  on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
  merge <- integer(2 * 2999); height <- double(2999); order <- integer(3000)
  expect_error(.Call("FinishClusteringThread", id, merge, height, order, PACKAGE = "lumo"),
               "Thread is still running", fixed = TRUE)
  expect_true(all(merge == 0L) && all(order == 0L))
  expect_identical(.Call("StopThread", id, PACKAGE = "lumo"), 0L)
  p <- .Call("GetProgressValues", id, PACKAGE = "lumo")
  expect_identical(p$canceled, 1L)
  expect_error(.Call("FinishClusteringThread", id, merge, height, order, PACKAGE = "lumo"),
               "Thread was canceled", fixed = TRUE)
})

test_that("a job can be deleted during the optimal ordering of 3,000 rows", {
  x <- big(3000L, seed = 2)
  id <- .Call("StartClusteringThread", as.double(x), 3000L, 10L, 2L, 0L, PACKAGE = "lumo")
  t0 <- Sys.time()
  repeat {
    p <- .Call("GetProgressValues", id, PACKAGE = "lumo")
    if (p$msgid >= 2L || p$done == 1L) break
    if (as.numeric(Sys.time() - t0, units = "secs") > 60) break
    Sys.sleep(0.01)
  }
  expect_gte(p$msgid, 2L)
  expect_identical(p$done, 0L)
  Sys.sleep(0.05)
  expect_identical(.Call("DeleteThread", id, PACKAGE = "lumo"), 0L)
  expect_error(.Call("GetProgressValues", id, PACKAGE = "lumo"), "Could not get information")
  expect_error(.Call("FinishClusteringThread", id, integer(5998), double(2999), integer(3000),
                     PACKAGE = "lumo"), "Could not get information for thread id")
})

test_that("progress of a job runs through clustering and then the ordering phases", {
  x <- big(400L, seed = 3)
  id <- .Call("StartClusteringThread", as.double(x), 400L, 10L, 2L, 0L, PACKAGE = "lumo")
  on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
  seen <- integer(0)
  repeat {
    p <- .Call("GetProgressValues", id, PACKAGE = "lumo")
    seen <- union(seen, p$msgid)
    if (p$done == 1L) break
  }
  expect_identical(p$msgid, 4L)
  expect_equal(p$current, p$max - 1)
  expect_true(all(seen %in% 0:4))
  # FinishClusteringThread may be called again; it writes the same results.
  a <- list(integer(798), double(399), integer(400))
  b <- list(integer(798), double(399), integer(400))
  .Call("FinishClusteringThread", id, a[[1]], a[[2]], a[[3]], PACKAGE = "lumo")
  .Call("FinishClusteringThread", id, b[[1]], b[[2]], b[[3]], PACKAGE = "lumo")
  expect_identical(a, b)
  expect_setequal(a[[3]], 0:399)
})

test_that("bad arguments are rejected with an R error before anything is built", {
  x <- as.double(1:12)
  ok <- function(data = x, rows = 4L, cols = 3L, merge = integer(6), height = double(3), order = integer(4))
    .Call("Cluster", data, rows, cols, merge, height, order, 0L, 0L, PACKAGE = "lumo")
  start <- function(data = x, rows = 4L, cols = 3L)
    .Call("StartClusteringThread", data, rows, cols, 0L, 0L, PACKAGE = "lumo")
  for (f in list(ok, start)) {
    expect_error(f(rows = NA_integer_), "rows is not defined", fixed = TRUE)
    expect_error(f(rows = integer(0)), "rows is not defined", fixed = TRUE)
    expect_error(f(cols = NA), "cols is not defined", fixed = TRUE)
    expect_error(f(rows = 1L, cols = 12L), "rows must be at least 2")
    expect_error(f(rows = 0L), "rows must be at least 2")
    expect_error(f(rows = -4L), "rows must be at least 2")
    expect_error(f(cols = 0L), "cols must be positive")
    expect_error(f(cols = -3L), "cols must be positive")
    expect_error(f(rows = 5L), "data has 12 values; rows x cols = 15 are needed", fixed = TRUE)
    expect_error(f(data = letters[1:12]), "data must be a numeric vector")
    expect_error(f(data = as.list(x)), "data must be a numeric vector")
    expect_error(f(data = NULL), "data must be a numeric vector")
  }
  expect_error(ok(merge = double(6)), "merge must be an integer vector")
  expect_error(ok(merge = integer(5)), "merge has length 5; 2 * (rows - 1) = 6 are needed", fixed = TRUE)
  expect_error(ok(height = integer(3)), "height must be a double vector")
  expect_error(ok(height = double(2)), "height has length 2")
  expect_error(ok(order = double(4)), "order must be an integer vector")
  expect_error(ok(order = integer(3)), "order has length 3")
  expect_error(ok(merge = NULL), "merge must be an integer vector")
  # Integer data and a longer data vector are fine.
  expect_length(ok(data = 1:12), 23L)
  expect_length(ok(data = as.double(1:20)), 23L)
  expect_identical(.Call("Cluster", x, 4, 3, integer(6), double(3), integer(4), 0L, 0L, PACKAGE = "lumo"),
                   integer(23))
})

test_that("FinishClusteringThread checks the outputs", {
  x <- big(10L, 2L)
  id <- .Call("StartClusteringThread", as.double(x), 10L, 2L, 2L, 0L, PACKAGE = "lumo")
  on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
  wait_job(id)
  expect_error(.Call("FinishClusteringThread", id, double(18), double(9), integer(10), PACKAGE = "lumo"),
               "merge must be an integer vector")
  expect_error(.Call("FinishClusteringThread", id, integer(17), double(9), integer(10), PACKAGE = "lumo"),
               "merge has length 17")
  expect_error(.Call("FinishClusteringThread", id, integer(18), double(8), integer(10), PACKAGE = "lumo"),
               "height has length 8")
  expect_error(.Call("FinishClusteringThread", id, integer(18), double(9), 1:9, PACKAGE = "lumo"),
               "order has length 9")
  # The job is still intact after the rejected calls.
  order <- integer(10)
  expect_identical(.Call("FinishClusteringThread", id, integer(18), double(9), order, PACKAGE = "lumo"),
                   integer(0))
  expect_setequal(order, 0:9)
})

test_that("a clustering too large for memory fails with the memory message", {
  # 3,000,000 rows need a distance triangle of about 36 TB.
  x <- double(3e6)
  merge <- integer(2); height <- double(1); order <- integer(2)
  msg <- "Not enough memory. Your dataset may be too large."
  expect_error(.Call("Cluster", x, 3e6L, 1L, integer(2 * (3e6 - 1)), double(3e6 - 1), integer(3e6),
                     2L, 0L, PACKAGE = "lumo"), msg, fixed = TRUE)
  expect_error(.Call("StartClusteringThread", x, 3e6L, 1L, 2L, 0L, PACKAGE = "lumo"), msg, fixed = TRUE)
})

# Clustering through R: hclust layout of merge, height and order, the leaf
# orderings, the two distances, and both the synchronous and the background path.

three <- matrix(c(0, 1, 5), ncol = 1)

test_that("three rows without ordering give the tree in hclust layout", {
  for (r in list(cluster_sync(three, 0L), cluster_job(three, 0L))) {
    expect_identical(r$merge, c(-1L, -3L, -2L, 1L))
    expect_equal(r$height, c(1, 4.5))
    expect_identical(r$order, c(2L, 0L, 1L))
  }
  s <- cluster_sync(three, 0L)
  expect_type(s$result, "integer")
  expect_length(s$result, 23L)
  expect_identical(cluster_job(three, 0L)$result, integer(0))
})

test_that("the Eisen ordering reads merge before the ordering only in the synchronous path", {
  s <- cluster_sync(three, 1L)
  expect_identical(s$merge, c(-1L, -3L, -2L, 1L))
  expect_equal(s$height, c(1, 4.5))
  expect_identical(s$order, c(0L, 1L, 2L))
  b <- cluster_job(three, 1L)
  expect_identical(b$merge, c(-1L, 1L, -2L, -3L))
  expect_equal(b$height, c(1, 4.5))
  expect_identical(b$order, c(0L, 1L, 2L))
})

test_that("unknown order methods apply no ordering and unknown distances are Euclidean", {
  set.seed(3)
  x <- matrix(rnorm(40), 10, 4)
  plain <- cluster_sync(x, 0L, 0L)
  for (om in list(3L, NA_integer_, -1L, integer(0))) {
    expect_identical(cluster_sync(x, om, 0L), plain)
  }
  for (dm in list(2L, NA_integer_, 0, integer(0))) {
    expect_identical(cluster_sync(x, 0L, dm), plain)
  }
  expect_equal(plain$height[plain$merge[1:9] < 0 & plain$merge[10:18] < 0][1],
               min(dist(x)))
  # Integer arguments are coerced: a double method is the same method.
  expect_identical(cluster_sync(x, 1, 0), cluster_sync(x, 1L, 0L))
  expect_identical(cluster_sync(x, 0L, 1), cluster_sync(x, 0L, 1L))
})

test_that("correlation distance clusters by shape and rejects constant rows", {
  x <- rbind(c(1, 2, 3, 4), c(2, 4, 6, 8.5), c(4, 3, 2, 1), c(8, 6, 4, 2.5))
  r <- cluster_sync(x, 0L, 1L)
  # Rows 1 and 2 rise, rows 3 and 4 fall: they pair up first, the root joins
  # the two pairs at a distance near 2.
  m <- matrix(r$merge, ncol = 2L)
  expect_true(all(m[1:2, ] < 0))
  expect_setequal(list(sort(-m[1, ]), sort(-m[2, ])), list(1:2, 3:4))
  expect_equal(sort(r$height[1:2]), sort(1 - c(cor(x[1, ], x[2, ]), cor(x[3, ], x[4, ]))),
               tolerance = 1e-12)
  expect_gt(r$height[3], 1.9)
  expect_identical(cluster_job(x, 0L, 1L), cluster_job(x, 0L, 1L))

  flat <- rbind(x, c(5, 5, 5, 5))
  expect_error(cluster_sync(flat, 0L, 1L), "correlation value was outside the range (-1, 1)", fixed = TRUE)
  id <- .Call("StartClusteringThread", as.double(flat), 5L, 4L, 0L, 1L, PACKAGE = "lumo")
  on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
  wait_job(id)
  expect_error(.Call("FinishClusteringThread", id, integer(8), double(4), integer(5), PACKAGE = "lumo"),
               "An error occurred during clustering: correlation value was outside the range (-1, 1)",
               fixed = TRUE)
})

test_that("the optimal ordering is optimal and agrees between the two paths", {
  set.seed(11)
  for (n in c(2L, 5L, 8L)) {
    x <- matrix(rnorm(n * 3L), n, 3L)
    d <- dist(x)
    s <- cluster_sync(x, 2L)
    expect_setequal(s$order, 0:(n - 1L))
    expect_equal(path_length(d, s$order), best_path_length(matrix(s$merge, ncol = 2L), d))
    b <- cluster_job(x, 2L)
    expect_identical(b$order, s$order)
    expect_equal(b$height, s$height)
  }
  x <- matrix(rnorm(200 * 5), 200, 5)
  d <- dist(x)
  opt <- cluster_sync(x, 2L)
  expect_setequal(opt$order, 0:199)
  expect_lte(path_length(d, opt$order), path_length(d, cluster_sync(x, 0L)$order))
  expect_lte(path_length(d, opt$order), path_length(d, cluster_sync(x, 1L)$order))
})

test_that("missing values in the data end the clustering with an R error, not a crash", {
  x <- matrix(c(0, 1, NA, 5, 6, 7), ncol = 1)
  for (om in 0:2) {
    expect_error(cluster_sync(x, om), "not a number", fixed = TRUE)
  }
  expect_error(cluster_job(x, 2L), "An error occurred during clustering: .*not a number")
})

# The clustering engine as R reaches it through the synchronous Cluster entry
# point: the merges of centroid clustering agree with stats::hclust, ties go
# to the first pair, and bad data end in an R error instead of a crash.

engine_cluster <- function(x, distanceMethod = 0L) {
  x <- as.matrix(x)
  n <- nrow(x)
  merge <- integer(2L * (n - 1L))
  height <- double(n - 1L)
  order <- integer(n)
  .Call("Cluster", as.double(x), n, ncol(x), merge, height, order, 0L,
        as.integer(distanceMethod), PACKAGE = "lumo")
  list(merge = matrix(merge, ncol = 2L), height = height, order = order)
}

skip_without_cluster_entry <- function() {
  skip_if_not(is.loaded("Cluster", PACKAGE = "lumo"), "the Cluster entry point is not built")
}

# Leaf sets of every merge step, each sorted, for comparing trees whose
# left/right orientation may differ.
merge_members <- function(merge) {
  members <- vector("list", nrow(merge))
  side <- function(code) if (code < 0) -code else members[[code]]
  for (k in seq_len(nrow(merge)))
    members[[k]] <- sort(c(side(merge[k, 1L]), side(merge[k, 2L])))
  members
}

test_that("centroid clustering agrees with stats::hclust on data without ties", {
  skip_without_cluster_entry()
  set.seed(11)
  for (n in c(2L, 3L, 17L, 150L)) {
    x <- matrix(rnorm(n * 5L), n, 5L)
    ours <- engine_cluster(x)
    ref <- stats::hclust(dist(x)^2, "centroid")
    expect_equal(ours$height, sqrt(ref$height), tolerance = 1e-9)
    expect_identical(merge_members(ours$merge), merge_members(ref$merge))
    expect_setequal(ours$order, 0:(n - 1L))
  }
})

test_that("ties merge the first pair in row order and the smaller index goes left", {
  skip_without_cluster_entry()
  r <- engine_cluster(matrix(c(0, 1, 2), ncol = 1))
  expect_identical(r$merge, matrix(c(-1L, -3L, -2L, 1L), ncol = 2L))
  expect_equal(r$height, c(1, 1.5))
  same <- engine_cluster(matrix(7, 4, 2))
  expect_identical(same$merge, matrix(c(-1L, -3L, 1L, -2L, -4L, 2L), ncol = 2L))
  expect_identical(same$height, c(0, 0, 0))
})

test_that("large inputs keep the agreement", {
  skip_without_cluster_entry()
  set.seed(5)
  x <- matrix(rnorm(1500L * 8L), 1500L, 8L)
  ours <- engine_cluster(x)
  ref <- stats::hclust(dist(x)^2, "centroid")
  expect_equal(ours$height, sqrt(ref$height), tolerance = 1e-9)
})

test_that("data that give no ordered distances end in an R error", {
  skip_without_cluster_entry()
  for (bad in list(c(0, 1, NA, 5), c(0, 1, NaN, 5), c(0, Inf, -Inf, 5))) {
    expect_error(engine_cluster(matrix(bad, ncol = 1)), "not a number")
  }
  # Infinite but comparable distances are fine.
  r <- engine_cluster(matrix(c(0, 1, Inf), ncol = 1))
  expect_identical(r$merge[1, ], c(-1L, -2L))
  expect_true(is.infinite(r$height[2]))
})

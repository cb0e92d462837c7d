# cluster_rows: the tree as a genuine hclust object, checked against stats.

test_that("the Euclidean tree is hclust's centroid tree on squared distances, for every ordering", {
  set.seed(21)
  x <- matrix(rnorm(60 * 4), 60, 4)
  rownames(x) <- sprintf("gene%02d", 1:60)
  ref <- hclust(dist(x)^2, "centroid")
  expect_true(is.unsorted(ref$height))   # the data have inversions
  for (ordering in c("none", "weight", "optimal")) {
    hc <- cluster_rows(x, ordering = ordering)
    expect_s3_class(hc, "hclust")
    expect_identical(merge_members(hc$merge), merge_members(ref$merge))
    expect_equal(hc$height, sqrt(ref$height), tolerance = 1e-10)
    expect_identical(sort(hc$order), 1:60)
    expect_identical(hc$labels, rownames(x))
    expect_identical(hc$method, "centroid")
    expect_identical(hc$dist.method, "euclidean")
    expect_identical(cutree(hc, k = 7), cutree(ref, k = 7))
    # The dendrogram follows merge; merge and order describe the same orientation.
    expect_identical(order.dendrogram(as.dendrogram(hc)), hc$order)
  }
  expect_error(cutree(hc, h = 1), "not sorted")
})

test_that("correlation heights are 1 - cor of the merged centroids; the weight ordering puts the smaller mean left", {
  set.seed(8)
  x <- matrix(rnorm(30 * 6), 30, 6)
  hc <- cluster_rows(x, distance = "correlation", ordering = "weight")
  expect_identical(hc$dist.method, "correlation")
  members <- lapply(strsplit(merge_members(hc$merge), " "), as.integer)
  centroid <- function(code) if (code < 0) x[-code, ] else colMeans(x[members[[code]], , drop = FALSE])
  for (i in seq_len(29)) {
    l <- centroid(hc$merge[i, 1]); r <- centroid(hc$merge[i, 2])
    expect_equal(hc$height[i], 1 - cor(l, r), tolerance = 1e-10)
    expect_lte(mean(l), mean(r))
  }
})

test_that("the result draws with plot and heatmap, also from a background job", {
  set.seed(2)
  x <- matrix(rnorm(40 * 5), 40, 5)
  job <- cluster_rows(as.data.frame(x), ordering = "optimal", background = TRUE)
  expect_s3_class(job, "lumo_job")
  hc <- result(job)
  tree <- c("merge", "height", "order")
  expect_identical(unclass(cluster_rows(x, ordering = "optimal"))[tree], unclass(hc)[tree])
  expect_null(hc$labels)
  pdf(NULL)
  on.exit(dev.off())
  expect_silent(plot(hc))
  hm <- heatmap(x, Rowv = as.dendrogram(hc), Colv = NA, scale = "none")
  expect_identical(hm$rowInd, hc$order)
})

test_that("bad inputs are refused with messages naming the argument", {
  x <- matrix(c(1, 2, 4, 8, 3, 1, 0, 2), 4)
  rownames(x) <- c("a", "b", "c", "d")
  flat <- rbind(x, e = c(5, 5))
  cases <- list(
    list(quote(cluster_rows(x[1, , drop = FALSE])), "'x' must have at least two rows"),
    list(quote(cluster_rows(letters)), "'x' must be a numeric matrix"),
    list(quote(cluster_rows(replace(x, 3, NA))), "'x' contains missing values"),
    list(quote(cluster_rows(x, distance = "manhattan")), "'distance' must be one of \"euclidean\", \"correlation\""),
    list(quote(cluster_rows(x, ordering = "random")), "'ordering' must be one of"),
    list(quote(cluster_rows(x, background = NA)), "'background' must be TRUE or FALSE"),
    list(quote(cluster_rows(flat, "correlation")), "'x' has constant rows \\(e\\)"),
    list(quote(cluster_rows(x[, 1, drop = FALSE], "correlation")), "at least two columns"))
  for (case in cases) expect_error(eval(case[[1]]), case[[2]])
})

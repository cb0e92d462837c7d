# k-nearest-neighbour imputation and the two-means split through .Fortran.

knn_call <- function(x, imiss, kn, irmiss = as.integer(rowSums(imiss) > 0)) {
  p <- nrow(x); n <- ncol(x)
  x0 <- x
  x0[imiss > 0] <- 0
  .Fortran("knnimp", x = as.double(x0), ximp = as.double(x0), p = as.integer(p),
           n = as.integer(n), imiss = as.integer(imiss), irmiss = as.integer(irmiss),
           kn = as.integer(kn), workp = double(p), workn = double(max(n, kn + 1)),
           iworkp = integer(p), iworkn = integer(n), PACKAGE = "lumo")
}

# Independent version: distances over shared present columns, a stable sort
# (ties keep the earlier row), the row at the head of the ordering left out.
knn_reference_row <- function(x, imiss, kn, i) {
  present <- imiss <= 0
  shared <- sweep(present, 2, present[i, ], "&")
  diff2 <- sweep(x, 2, x[i, ])^2
  diff2[!shared] <- 0
  cnt <- rowSums(shared)
  d <- ifelse(cnt > 0, rowSums(diff2) / pmax(cnt, 1), 1e10)
  nb <- order(d, method = "radix")[seq_len(kn + 1)][-1]
  vals <- x[i, ]
  ind <- imiss[i, ]
  for (j in which(imiss[i, ] != 0)) {
    ok <- nb[present[nb, j]]
    if (length(ok) > 0) {
      vals[j] <- mean(x[ok, j])
    } else {
      vals[j] <- 0
      ind[j] <- 2L
    }
  }
  list(ximp = vals, imiss = ind)
}

knn_reference <- function(x, imiss, kn) {
  for (i in which(rowSums(imiss) > 0)) {
    r <- knn_reference_row(x, imiss, kn, i)
    x[i, ] <- r$ximp
    imiss[i, ] <- r$imiss
  }
  list(ximp = x, imiss = imiss)
}

simulate_study <- function(p, n, frac, seed) {
  set.seed(seed)
  groups <- sample(1:6, p, replace = TRUE)
  profiles <- matrix(rnorm(6 * n, sd = 2), 6, n)
  x <- profiles[groups, ] + matrix(rnorm(p * n, sd = 0.5), p, n)
  imiss <- matrix(as.integer(runif(p * n) < frac), p, n)
  list(x = x, imiss = imiss)
}

test_that("imputation of a study with 10% missing values matches an independent implementation", {
  # On two threads, so that the rows are shared out as they are for a user.
  old <- .Call("GetThreadCount", PACKAGE = "lumo")
  .Call("SetThreadCount", 2L, PACKAGE = "lumo")
  on.exit(.Call("SetThreadCount", old, PACKAGE = "lumo"))
  s <- simulate_study(300, 12, 0.1, 11)
  # One column of one gene that no neighbour can fill.
  s$imiss[, 12] <- 1L
  s$imiss[5, 12] <- 1L
  s$x[s$imiss > 0] <- 0
  for (kn in c(0, 1, 10)) {
    res <- knn_call(s$x, s$imiss, kn)
    ref <- knn_reference(s$x, s$imiss, kn)
    expect_equal(matrix(res$ximp, 300), ref$ximp, tolerance = 1e-12)
    expect_identical(matrix(res$imiss, 300), ref$imiss)
  }
  res <- knn_call(s$x, s$imiss, 10)
  expect_true(all(matrix(res$imiss, 300)[, 12] == 2L))
  expect_true(all(matrix(res$ximp, 300)[, 12] == 0))
  # Observed entries are returned unchanged.
  obs <- s$imiss == 0
  expect_identical(matrix(res$ximp, 300)[obs], s$x[obs])
})

test_that("rows not flagged are left alone", {
  s <- simulate_study(40, 6, 0.2, 3)
  s$x[s$imiss > 0] <- 0
  irmiss <- integer(40)
  irmiss[1:5] <- 1L
  res <- knn_call(s$x, s$imiss, 4, irmiss)
  ximp <- matrix(res$ximp, 40)
  expect_identical(ximp[6:40, ], s$x[6:40, ])
  expect_identical(matrix(res$imiss, 40)[6:40, ], s$imiss[6:40, ])
})

test_that("out-of-range sizes raise an R error and write nothing", {
  s <- simulate_study(10, 4, 0.2, 5)
  expect_error(knn_call(s$x, s$imiss, 10), "'kn' is 10.*p is 10")
  expect_error(knn_call(s$x, s$imiss, 25), "'kn'")
  expect_error(knn_call(s$x, s$imiss, -1), "'kn' is -1")
  # R itself refuses NA unless NAOK is set; with it the routine still refuses.
  expect_error(.Fortran("knnimp", double(4), double(4), NA_integer_, 2L, integer(4), integer(2),
                        1L, double(2), double(2), integer(2), integer(2), NAOK = TRUE,
                        PACKAGE = "lumo"), "'p'")
  expect_error(.Fortran("knnimp", double(4), double(4), 2L, -3L, integer(4), integer(2),
                        1L, double(2), double(2), integer(2), integer(2), PACKAGE = "lumo"), "'n' is -3")
})

test_that("a 20,000 x 50 matrix is completed", {
  set.seed(7)
  p <- 20000; n <- 50
  x <- matrix(rnorm(p * n), p, n)
  imiss <- matrix(0L, p, n)
  rows <- sample(p, 40)
  imiss[cbind(rows, sample(n, 40, replace = TRUE))] <- 1L
  res <- knn_call(x, imiss, 10)
  ximp <- matrix(res$ximp, p)
  expect_true(all(is.finite(ximp)))
  expect_false(any(res$imiss == 2L))
  i <- rows[1]
  j <- which(imiss[i, ] > 0)
  expect_equal(ximp[i, ], knn_reference_row(x, imiss, 10, i)$ximp, tolerance = 1e-12)
})

twomis_call <- function(x, imiss, istart, maxit = 10L, eps = 1e-6, NAOK = FALSE) {
  p <- nrow(x); n <- ncol(x)
  .Fortran("twomis", x = as.double(x), p = as.integer(p), n = as.integer(n),
           imiss = as.integer(imiss), x0 = double(2 * n), imiss0 = integer(2 * n),
           maxit = as.integer(maxit), eps = as.double(eps), istart = as.integer(istart),
           clust = integer(2 * p), nsize = integer(2), dist = double(2 * p), ratio = double(1),
           iter = integer(1), iworkp = integer(p), iworkn = integer(n), NAOK = NAOK,
           PACKAGE = "lumo")
}

test_that("the two-means split separates two groups despite missing values", {
  set.seed(9)
  p <- 60; n <- 8
  grp <- rep(1:2, c(25, 35))
  x <- matrix(rnorm(p * n, sd = 0.3), p, n) + ifelse(grp == 1, 0, 3)
  imiss <- matrix(as.integer(runif(p * n) < 0.1), p, n)
  imiss[1, ] <- 0L
  imiss[60, ] <- 0L
  xm <- x
  xm[imiss > 0] <- NA
  res <- twomis_call(x, imiss, c(1, 60))
  clust <- matrix(res$clust, p)
  expect_identical(res$nsize, c(25L, 35L))
  expect_identical(clust[1:25, 1], 1:25)
  expect_identical(clust[1:35, 2], 26:60)
  x0 <- matrix(res$x0, n)
  expect_equal(x0[, 1], colMeans(xm[1:25, ], na.rm = TRUE), tolerance = 1e-12)
  expect_equal(x0[, 2], colMeans(xm[26:60, ], na.rm = TRUE), tolerance = 1e-12)
  expect_true(res$iter >= 2 && res$ratio <= 1e-6)
})

test_that("the two-means split rejects start rows outside the matrix", {
  x <- matrix(1:6, 3)
  expect_error(twomis_call(x, matrix(0L, 3, 2), c(1, 4)), "'istart\\[2\\]' is 4")
  expect_error(twomis_call(x, matrix(0L, 3, 2), c(0, 2)), "'istart\\[1\\]' is 0")
  expect_error(twomis_call(x, matrix(0L, 3, 2), c(1, NA), NAOK = TRUE), "'istart\\[2\\]'")
})

test_that("arguments of the wrong storage type are refused before the routine runs", {
  expect_error(.Fortran("knnimp", x = double(6), ximp = double(6), p = 3, n = 2L, imiss = integer(6),
                        irmiss = integer(3), kn = 1L, workp = double(3), workn = double(2),
                        iworkp = integer(3), iworkn = integer(2), PACKAGE = "lumo"),
               "wrong type for argument 3")
  expect_error(.Fortran("twomis", 1:6, 3L, 2L, integer(6), double(4), integer(4), 5L, 0.1, 1:2,
                        integer(6), integer(2), double(6), 0, 0L, integer(3), integer(2), PACKAGE = "lumo"),
               "wrong type for argument 1")
})

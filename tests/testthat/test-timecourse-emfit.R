# The random-intercept EM fit through .C("EMFitR").

emfit <- function(dat, H, d, eps, m = nrow(dat), n = ncol(dat), N = length(d$nGrp), nGrp = d$nGrp,
                  idx = d$idx) {
  .C("EMFitR", as.double(dat), as.double(H), as.integer(d$ind), as.integer(idx), as.double(eps),
     fit = double(max(0, m * n)), alpha = double(max(0, m * n)), as.integer(m), as.integer(n), as.integer(N),
     as.integer(nGrp), iter = 0L, PACKAGE = "lumo")
}

em_data <- function(m, d, seed) {
  set.seed(seed)
  a <- matrix(rnorm(m * d$N, sd = 2), m, d$N)
  matrix(rnorm(m * d$n), m, d$n) + a[, d$ind, drop = FALSE] + outer(rnorm(m), d$time)
}

test_that("fitted values and intercepts agree with an EM written in R", {
  for (byTime in c(FALSE, TRUE)) {
    d <- tc_design(N = 4, T = 3, byTime = byTime)
    H <- tc_proj(cbind(1, d$time))
    dat <- em_data(10, d, 5)
    for (eps in c(1e-2, 1e-5)) {
      out <- emfit(dat, H, d, eps)
      ref <- tc_em_reference(dat, H, d$nGrp, d$idx, eps)
      expect_identical(out$iter, as.integer(ref$iter))
      expect_gt(out$iter, 2L)
      expect_equal(matrix(out$fit, 10), ref$fit, tolerance = 1e-12)
      expect_equal(matrix(out$alpha, 10), ref$alpha, tolerance = 1e-12)
    }
  }
})

test_that("one gene or none: no iteration, starting intercepts and a zero fit", {
  d <- tc_design(N = 3, T = 4)
  H <- tc_proj(cbind(1, d$time))
  dat <- em_data(1, d, 6)
  out <- emfit(dat, H, d, 1e-4)
  expect_identical(out$iter, 1L)
  expect_identical(out$fit, double(12))
  x <- dat[1, ] - mean(dat[1, ])
  expect_equal(out$alpha, as.vector(tapply(x, d$ind, mean))[d$ind], tolerance = 1e-14)
  out <- emfit(dat[0, , drop = FALSE], H, d, 1e-4)
  expect_identical(out$iter, 1L)
  expect_length(out$fit, 0)
})

test_that("sizes and designs EMFitR cannot use are refused", {
  d <- tc_design()
  H <- tc_proj(cbind(1, d$time))
  dat <- em_data(4, d, 8)
  expect_error(emfit(dat, H, d, 1e-3, m = -1L), "EMFitR: m must be a non-negative size", fixed = TRUE)
  expect_error(emfit(dat, H, d, 1e-3, n = -2L), "EMFitR: n must be a non-negative size", fixed = TRUE)
  expect_error(emfit(dat, H, d, 1e-3, N = 13L), "EMFitR: N must lie in 0..n")
  expect_error(emfit(dat, H, d, 1e-3, N = -1L), "EMFitR: N must lie in 0..n")
  expect_error(emfit(dat, H, d, 1e-3, nGrp = c(4L, 4L, 5L)), "nGrp must sum to n = 12, not 13", fixed = TRUE)
  expect_error(emfit(dat, H, d, 1e-3, nGrp = c(8L, 8L, -4L)), "nGrp[3] must be a non-negative count", fixed = TRUE)
  idx <- d$idx; idx[4] <- 12L
  expect_error(emfit(dat, H, d, 1e-3, idx = idx), "idx[4] must be a column 0..11, not 12", fixed = TRUE)
  idx[4] <- -1L
  expect_error(emfit(dat, H, d, 1e-3, idx = idx), "idx[4] must be a column 0..11, not -1", fixed = TRUE)
  # A threshold that is not positive would run the fit to its iteration cap
  # (.C itself refuses NaN and infinite values).
  for (eps in c(0, -1, -.Machine$double.xmin))
    expect_error(emfit(dat, H, d, eps), "EMFitR: eps must be a positive finite number", fixed = TRUE)
})

test_that("EMFitR refuses vectors of the wrong storage type", {
  expect_error(.C("EMFitR", 1:4, double(4), 0L, 0:1, 1e-3, double(4), double(4), 2L, 2L, 1L, 2L, 0L,
                  PACKAGE = "lumo"), "wrong type for argument 1")
  expect_error(.C("EMFitR", double(4), double(4), 0L, 0:1, 1e-3, double(4), double(4), 2, 2L, 1L, 2L, 0L,
                  PACKAGE = "lumo"), "wrong type for argument 8")
})

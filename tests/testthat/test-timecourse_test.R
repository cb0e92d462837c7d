# timecourse_test against F from lm fits and from lme4's maximum-likelihood fits,
# its bootstraps redone in plain R from the same seed, and its refusals of bad input.

# F of every row of y from lm fits of the null and alternative formulas.
lm_F <- function(y, null, alt) {
  rss <- function(f) colSums(residuals(lm(f))^2)
  e <- new.env(parent = environment(alt))
  e$Y <- t(y)
  environment(null) <- environment(alt) <- e
  unname(rss(null) / rss(alt) - 1)
}

# limma's moderated F of the coefficients `coef` of the design X, row by row of y.
limma_F <- function(y, X, coef) {
  limma::topTable(limma::eBayes(limma::lmFit(y, X)), coef = coef, number = Inf, sort.by = "none")$F
}

# Range over the times of each row's fitted time curve: lm predictions at one baseline.
lm_range <- function(y, tl, ind, df) {
  form <- if (is.null(ind)) v ~ splines::ns(tl, df) else v ~ factor(ind) + splines::ns(tl, df)
  unname(apply(y, 1, function(v) {
    d <- data.frame(v = v, tl = tl, ind = if (is.null(ind)) 1 else ind)
    diff(range(predict(lm(form, d), transform(d, ind = ind[1]))))
  }))
}

test_that("observed F and the range of the time curve equal those of lm fits", {
  set.seed(21)
  N <- 4; Tn <- 5
  tl <- rep(c(0, 1, 2, 4, 7), times = N)          # stored time point by time point below
  ind <- rep(letters[1:N], each = Tn)
  o <- order(rep(seq_len(Tn), N))
  tl <- tl[o]; ind <- ind[o]
  y <- matrix(rnorm(12 * N * Tn), 12, N * Tn) + matrix(rnorm(12 * N, sd = 2), 12, N)[, match(ind, letters)]
  y[1:3, ] <- y[1:3, ] + outer(1:3, sqrt(tl))
  for (df in 1:3) for (by_ind in c(FALSE, TRUE)) {
    null <- if (by_ind) Y ~ factor(ind) else Y ~ 1
    fit <- timecourse_test(y, tl, individual = if (by_ind) ind, df = df, B = 0, moderate = FALSE)
    expect_equal(fit$table$statistic, lm_F(y, null, update(null, ~ . + splines::ns(tl, df))), tolerance = 1e-10)
    expect_true(all(is.na(fit$table$p.value)))
    expect_equal(fit$table$range, lm_range(y, tl, if (by_ind) ind, df), tolerance = 1e-10)
  }
  # Moderated: limma's F of the same design.
  for (by_ind in c(FALSE, TRUE)) {
    X <- if (by_ind) model.matrix(~ factor(ind) + splines::ns(tl, 2)) else model.matrix(~ splines::ns(tl, 2))
    fit <- timecourse_test(y, tl, individual = if (by_ind) ind, B = 0)
    expect_equal(fit$table$statistic, limma_F(y, X, ncol(X) - 1:0), tolerance = 1e-10)
  }
  # The range of random intercepts is that of the fixed-baseline fit.
  fit <- timecourse_test(y, tl, individual = ind, intercept = "random", B = 0)
  expect_equal(fit$table$range, lm_range(y, tl, ind, 2), tolerance = 1e-10)
  expect_identical(names(fit$table), c("gene", "range", "statistic", "p.value", "q.value"))
})

test_that("random intercepts: F of every gene is that of lme4's maximum-likelihood fits, fitted alone", {
  skip_if_not_installed("lme4")
  designs <- list(list(nGrp = rep(3L, 4), df = 2), list(nGrp = rep(6L, 4), df = 2), list(nGrp = rep(4L, 8), df = 1),
                  list(nGrp = c(2L, 5L, 3L, 4L, 3L), df = 2))   # unbalanced
  for (d in designs) {
    set.seed(sum(d$nGrp))
    N <- length(d$nGrp); n <- sum(d$nGrp); m <- 40
    ind <- rep(seq_len(N), d$nGrp); tl <- sequence(d$nGrp) - 1 + runif(n, 0, 0.2)
    o <- sample.int(n)                                 # arrays in no particular order
    ind <- ind[o]; tl <- tl[o]
    s <- sqrt(3 * 0.08 / rchisq(m, 3))                 # heavy-tailed sds
    tau <- s * rep_len(c(0, 0.3, 1, 3, 100), m)        # a fifth without intercepts, some far beyond the grid
    y <- 8 + matrix(rnorm(m * n), m, n) * s + (matrix(rnorm(m * N), m, N) * tau)[, ind]
    y[1:5, ] <- y[1:5, ] + outer(s[1:5] * 2, sin(tl))
    X1 <- cbind(1, splines::ns(tl, d$df)); X0 <- matrix(1, n, 1)
    ref <- t(apply(y, 1, function(v) {
      f1 <- lmer_fit(v, X1, factor(ind)); f0 <- lmer_fit(v, X0, factor(ind))
      c(F = f0$rss / f1$rss - 1, theta = f1$theta)
    }))
    label <- paste(d$nGrp, collapse = " ")
    expect_gt(sum(ref[, "theta"] == 0), 2, label = label)            # genes at the boundary
    fit <- timecourse_test(y, tl, individual = ind, df = d$df, intercept = "random", B = 0, moderate = FALSE)
    expect_equal(fit$table$statistic, unname(ref[, "F"]), tolerance = 1e-4, label = label)
    expect_lt(max(abs(fit$table$statistic / ref[, "F"] - 1)), 1e-4, label = label)
  }
  # A gene's F is the same alone and among 2,000 others (of smaller values, so that
  # the data keep their scale); eps is accepted but no longer used.
  others <- matrix(rnorm(2000 * n, sd = 0.1), 2000, n)
  among <- timecourse_test(rbind(others, y), tl, individual = ind, intercept = "random", B = 0, moderate = FALSE)
  for (i in c(1L, 4L, 7L)) {
    alone <- timecourse_test(y[i, , drop = FALSE], tl, individual = ind, intercept = "random", B = 0,
                             moderate = FALSE)
    expect_identical(alone$table$statistic, among$table$statistic[2000L + i])
  }
  expect_warning(again <- timecourse_test(y, tl, individual = ind, intercept = "random", eps = 1e-6, B = 0,
                                          moderate = FALSE), "'eps' is no longer used")
  expect_identical(again$table$statistic, among$table$statistic[2000L + seq_len(m)])
  expect_no_warning(timecourse_test(y, tl, individual = ind, intercept = "random", B = 0))
})

test_that("the bootstrap null F statistics follow the resampling of each design", {
  set.seed(22)
  m <- 15; B <- 3
  # Independent samples: null fit plus residuals of arrays drawn with replacement.
  tm <- rep(1:6, 2)
  y <- matrix(rnorm(m * 12), m, 12)
  set.seed(5)
  fit <- timecourse_test(y, tm, df = 2, B = B, moderate = FALSE)
  set.seed(5)
  v <- matrix(sample.int(12, 12 * B, replace = TRUE), B, 12)
  f0 <- fitted(lm(t(y) ~ 1)); r1 <- residuals(lm(t(y) ~ splines::ns(tm, 2)))
  null_data <- lapply(seq_len(B), function(h) t(f0 + r1[v[h, ], ]))
  ref <- unlist(lapply(null_data, lm_F, Y ~ 1, Y ~ splines::ns(tm, 2)))
  expect_equal(fit$null, ref, tolerance = 1e-9)
  # Moderated: limma's F of the same data sets, each with its own variance prior.
  set.seed(5)
  fit <- timecourse_test(y, tm, df = 2, B = B)
  expect_equal(fit$null, unlist(lapply(null_data, limma_F, model.matrix(~ splines::ns(tm, 2)), 2:3)),
               tolerance = 1e-9)

  # Fixed baselines: residuals of all but the last array of each individual,
  # decorrelated (inverse root of their covariance, by SVD), drawn, recoloured with
  # the root of the covariance of centred errors (by eigen), the last array balancing.
  nGrp <- c(3, 4, 2, 4, 3); N <- 5; n <- sum(nGrp)
  ind <- rep(seq_len(N), nGrp)
  tt <- sequence(nGrp) + rep(seq(0, 2, length.out = N), nGrp)
  y <- matrix(rnorm(m * n), m, n)
  set.seed(6)
  fit <- timecourse_test(y, tt, individual = ind, df = 2, B = B, moderate = FALSE)
  set.seed(6)
  v <- matrix(sample.int(n - N, (n - N) * B, replace = TRUE), B, n - N)
  X1 <- cbind(model.matrix(~ factor(ind) - 1), splines::ns(tt, 2))
  R <- diag(n) - X1 %*% solve(crossprod(X1), t(X1))
  last <- cumsum(nGrp); inc <- setdiff(seq_len(n), last)
  sv <- svd(R[inc, inc]); keep <- sv$d > 1e-9
  white <- sv$u[, keep] %*% (t(sv$u[, keep]) / sqrt(sv$d[keep]))
  colour <- matrix(0, n - N, n - N)
  for (l in seq_len(N)) {
    e <- eigen(diag(nGrp[l] - 1) - 1 / nGrp[l], symmetric = TRUE)
    at <- which(ind[inc] == l)
    colour[at, at] <- e$vectors %*% (sqrt(e$values) * t(e$vectors))
  }
  r <- (y %*% R)[, inc] %*% white
  f0 <- t(fitted(lm(t(y) ~ factor(ind))))
  ref <- unlist(lapply(seq_len(B), function(h) {
    e <- matrix(0, m, n)
    e[, inc] <- r[, v[h, ]] %*% colour
    e[, last] <- -t(rowsum(t(e), ind))
    lm_F(f0 + e, Y ~ factor(ind), Y ~ factor(ind) + splines::ns(tt, 2))
  }))
  expect_equal(fit$null, ref, tolerance = 1e-9)
})

test_that("random intercepts: residuals of single arrays, baselines of whole individuals are drawn", {
  # One iteration redone in plain R with lme4's fits: null fit plus residuals of
  # single arrays plus the intercepts of whole individuals, then both fits again.
  skip_if_not_installed("lme4")
  set.seed(25)
  nGrp <- c(3L, 4L, 3L, 4L); ind <- rep(1:4, nGrp); tl <- sequence(nGrp) - 1
  m <- 6L; n <- 14L; B <- 2L
  y <- matrix(rnorm(m * n), m, n) + matrix(rnorm(m * 4, sd = 2), m, 4)[, ind]
  set.seed(9)
  fit <- timecourse_test(y, tl, individual = ind, df = 1, intercept = "random", B = B, moderate = FALSE)
  set.seed(9)
  v <- matrix(sample.int(n, B * n, replace = TRUE), B, n)
  drawn <- matrix(sample.int(4, B * 4, replace = TRUE), B, 4)
  X1 <- cbind(1, splines::ns(tl, 1)); X0 <- matrix(1, n, 1)
  fits <- function(X) lapply(seq_len(m), function(i) lmer_fit(y[i, ], X, factor(ind)))
  f1 <- fits(X1); f0 <- fits(X0)
  first <- cumsum(nGrp) - nGrp + 1
  ref <- unlist(lapply(seq_len(B), function(h) {
    vapply(seq_len(m), function(i) {
      res1 <- y[i, ] - f1[[i]]$fit - f1[[i]]$alpha
      lmer_F(f0[[i]]$fit + res1[v[h, ]] + f1[[i]]$alpha[first[drawn[h, ind]]], X1, X0, factor(ind))
    }, 0)
  }))
  expect_equal(fit$null, ref, tolerance = 1e-5)
})

test_that("timecourse_test refuses bad input before anything runs, naming the argument", {
  set.seed(24)
  x <- matrix(rnorm(60), 5, 12)
  tm <- rep(0:5, 2)
  ind <- rep(1:3, each = 4)
  bad <- list(
    list(quote(timecourse_test(as.data.frame(matrix(letters[1:24], 2)), tm)), "'x' must be a numeric matrix"),
    list(quote(timecourse_test(replace(x, 1, NA), tm)), "'x' contains missing values"),
    list(quote(timecourse_test(rbind(x, 3), tm)), "constant gene.*rows 6"),
    list(quote(timecourse_test(x, tm[-1])), "'time' must be a numeric vector .* one per array \\(12\\)"),
    list(quote(timecourse_test(x, replace(tm, 1, NA))), "'time' must be a numeric vector of finite times"),
    list(quote(timecourse_test(x, as.character(tm))), "'time' must be a numeric vector"),
    list(quote(timecourse_test(x, tm, df = 0)), "'df' must be at least 1"),
    list(quote(timecourse_test(x, rep(0:1, 6), df = 3)), "'df' = 3 is too large"),
    list(quote(timecourse_test(x, 1:12, df = 11)), "no residual degrees of freedom"),
    list(quote(timecourse_test(x, tm, df = 11)), "'df' = 11 is too large"),
    list(quote(timecourse_test(x, tm, B = -2)), "'B' must be at least 0"),
    list(quote(timecourse_test(x, tm, eps = 0)), "'eps' must be a positive finite number"),
    list(quote(timecourse_test(x, tm, intercept = "random")), "a random intercept needs 'individual'"),
    list(quote(timecourse_test(x, tm, intercept = "fixed")), "'intercept' must be one of"),
    list(quote(timecourse_test(x, tm, fdr = "BY")), "'fdr' must be one of"),
    list(quote(timecourse_test(x, tm, individual = ind[-1])),
         "'individual' must be a vector or factor with one entry per array"),
    list(quote(timecourse_test(x, tm, individual = replace(ind, 2, NA))), "'individual' contains missing values"),
    list(quote(timecourse_test(x, tm, individual = addNA(factor(replace(ind, 2, NA))))),
         "'individual' contains missing values"),
    list(quote(timecourse_test(x, tm, individual = rep(1, 12))), "at least two individuals"),
    list(quote(timecourse_test(x, rep(1:3, each = 4), individual = ind)), "too large .* within individuals"),
    list(quote(timecourse_test(x, tm, individual = 1:12)), "no residual degrees of freedom"),
    list(quote(timecourse_test(x, tm, background = TRUE, BPPARAM = BiocParallel::SnowParam(2))),
         "needs 'BPPARAM = BiocParallel::SerialParam\\(\\)'")
  )
  for (b in bad) expect_error(eval(b[[1]]), b[[2]], info = deparse(b[[1]]))
})

# The .Call routine of the random-intercept fits must give, bit for bit, what
# the registered .C routine EMFitR gives, for any thread count, and refuse
# arguments that do not fit together before it runs.
test_that("the interruptible EM routine equals EMFitR", {
  cases <- list(
    list(m = 30L, N = 4L, Tn = 5L, eps = 1e-4, seed = 1),
    list(m = 257L, N = 3L, Tn = 4L, eps = 1e-6, seed = 2),    # more genes than a chunk
    list(m = 40L, N = 5L, Tn = 3L, eps = 1e-2, seed = 5, unequal = TRUE)
  )
  for (cs in cases) {
    set.seed(cs$seed)
    nGrp <- if (isTRUE(cs$unequal)) c(2L, 4L, 3L, 3L, 3L) else rep(cs$Tn, cs$N)
    n <- sum(nGrp)
    ind <- rep(seq_len(cs$N), nGrp)
    x <- matrix(rnorm(cs$m * n), cs$m, n) + matrix(rnorm(cs$m * cs$N, sd = 2), cs$m, cs$N)[, ind]
    X <- cbind(1, seq_len(n) %% 3)
    H <- X %*% solve(crossprod(X), t(X))
    idx <- seq_len(n) - 1L
    old <- .C(lumo:::C_EMFitR, as.double(x), as.double(H), ind, idx, cs$eps, fit = double(cs$m * n),
              alpha = double(cs$m * n), cs$m, n, cs$N, nGrp, iter = 0L)
    for (threads in c(1L, 2L)) {
      new <- withr::with_options(list(lumo.threads = threads), {
        lumo:::set_native_threads()
        .Call(lumo:::C_EMFitInterruptible, as.double(x), as.double(H), ind, idx, cs$eps, cs$m, n, cs$N, nGrp)
      })
      label <- sprintf("m %d, N %d, %d threads", cs$m, cs$N, threads)
      expect_identical(new$fit, old$fit, label = label)
      expect_identical(new$alpha, old$alpha, label = label)
      expect_identical(new$iter, old$iter, label = label)
    }
  }
  x <- matrix(rnorm(24), 4, 6); H <- diag(6); idx <- 0:5
  call <- function(...) {
    a <- modifyList(list(x = as.double(x), H = as.double(H), ind = rep(1:2, each = 3), idx = idx, eps = 1e-3,
                         m = 4L, n = 6L, N = 2L, nGrp = c(3L, 3L)), list(...))
    do.call(.Call, c(list(lumo:::C_EMFitInterruptible), unname(a)))
  }
  bad <- list(
    list(args = list(nGrp = c(3L, 2L)), error = "nGrp|n ="),
    list(args = list(x = as.double(x)[-1]), error = "'dat' has length"),
    list(args = list(H = as.double(H)[-1]), error = "'H' has length"),
    list(args = list(idx = c(0:4, 6L)), error = "idx"),
    list(args = list(eps = -1), error = "eps"),
    list(args = list(m = NA_integer_), error = "'m' must be a non-negative size"),
    list(args = list(nGrp = c(3, 3)), error = "'nGrp' must be a vector of type integer")
  )
  for (b in bad) expect_error(do.call(call, b$args), b$error)
})

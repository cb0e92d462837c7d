# Designs with covariates: odp_test against the ODP written out from lm fits of
# the full and null designs, its null under a batch effect, the design checks,
# and labels read from the column data.

# The ODP of a design with covariates from lm fits: each gene's data are the
# residuals of its null fit (~ covariates), normal on the n - p0 dimensions of
# their space; gene j's alternative model has the mean fitted(full) -
# fitted(null) and the moderated residual sd of the full fit, its null model
# the mean 0 and the moderated sd of the null fit.
odp_design_ref <- function(x, group, cov) {
  f0 <- lm(t(x) ~ ., data = cov)
  f1 <- lm(t(x) ~ ., data = cbind(cov, group = factor(group)))
  r <- t(residuals(f0))
  mu <- t(fitted(f1) - fitted(f0))
  post <- function(f) {
    limma::squeezeVar(colSums(residuals(f)^2) / f$df.residual, f$df.residual)$var.post
  }
  s1 <- sqrt(post(f1)); s0 <- sqrt(post(f0))
  dens <- function(v, s) exp(-f0$df.residual * log(sqrt(2 * pi) * s) - sum(v^2) / (2 * s^2))
  genes <- seq_len(nrow(x))
  vapply(genes, function(i) {
    sum(vapply(genes, function(j) dens(r[i, ] - mu[j, ], s1[j]), 0)) /
      sum(vapply(genes, function(j) dens(r[i, ], s0[j]), 0))
  }, 0)
}

test_that("odp_test with covariates matches the likelihood ODP of lm fits, and its effects the adjusted fit", {
  set.seed(41)
  cases <- list(
    list(group = rep(c("a", "b"), each = 6), cov = data.frame(batch = factor(rep(1:3, 4)), age = rnorm(12))),
    list(group = rep(1:3, 4), cov = data.frame(patient = factor(rep(1:4, each = 3)))),       # paired
    list(group = rep(c("t", "n"), 5), cov = data.frame(dose = 1:10))
  )
  for (cs in cases) {
    n <- length(cs$group); m <- 40
    x <- matrix(rnorm(m * n), m, n) * sqrt(0.3 / rchisq(m, 3)) + 5
    x[1:4, cs$group == cs$group[1]] <- x[1:4, cs$group == cs$group[1]] + 3
    x <- x + matrix(rnorm(m * ncol(model.matrix(~ ., cs$cov))), m) %*% t(model.matrix(~ ., cs$cov))
    fit <- suppressWarnings(odp_test(x, cs$group, B = 2, covariates = cs$cov))
    expect_equal(fit$table$statistic, odp_design_ref(x, cs$group, cs$cov), tolerance = 1e-9)
    expect_match(fit$design, paste("adjusted for", paste(names(cs$cov), collapse = ", ")))
    # Effects: the group coefficients of lm(~ group + centred covariates), without intercept.
    g <- factor(cs$group)
    D <- cbind(model.matrix(~ g - 1), scale(model.matrix(~ ., cs$cov)[, -1, drop = FALSE], scale = FALSE))
    coef <- t(unname(qr.coef(qr(D), t(x))))[, seq_len(nlevels(g))]
    effect <- if (nlevels(g) == 2L) coef[, 2] - coef[, 1] else coef
    expect_equal(unname(as.matrix(fit$table[fit$effect])), as.matrix(effect), tolerance = 1e-10)
  }
})

test_that("the design path in coordinates gives the group-only statistics when there are no covariates", {
  set.seed(42)
  m <- 50L; g <- factor(rep(1:3, c(3, 4, 3))); n <- length(g)
  x <- matrix(rnorm(m * n), m, n) * sqrt(0.3 / rchisq(m, 3))
  x[1:5, g == 2] <- x[1:5, g == 2] + 2
  lr <- function(f) {
    s <- sqrt(f$var1); s0 <- sqrt(f$var0)
    .Call("RunODP", native_args("odp", B = 0L, xx = f$xx, xk = as.double(f$xk), mu = as.double(f$mu), sigma = s,
                                sigma0 = s0, muBS = as.double(f$mu), sigmaBS = s, sigma0BS = s0,
                                ID = integer(n * ncol(f$xk)), nGrp = f$nGrp, res = double(m * n),
                                vv = integer(0), nii = seq_len(m) - 1L, m = m, n = n, k = ncol(f$xk), m0 = m),
          FALSE, PACKAGE = "lumo")$lr
  }
  expect_equal(lr(lumo:::odp_design_fit(x, g, matrix(0, n, 0))), lr(lumo:::odp_group_fit(x, g)), tolerance = 1e-12)
})

test_that("with a strong batch effect and no group effect, p-values adjusted for the batch are uniform", {
  set.seed(43)
  m <- 400; n <- 12
  g <- rep(1:2, 6); batch <- factor(rep(1:3, each = 4))
  s <- sqrt(3 * 0.08 / rchisq(m, 3))
  x <- (matrix(rnorm(m * n), m, n) + matrix(rnorm(m * 3, sd = 3), m, 3)[, batch]) * s
  set.seed(1)
  fit <- odp_test(x, g, B = 20, covariates = ~ batch)
  expect_gt(suppressWarnings(ks.test(fit$table$p.value, "punif"))$p.value, 1e-3)
  expect_false(any(fit$table$q.value <= 0.05))
})

test_that("labels and covariates may name columns of the column data", {
  skip_if_not_installed("SummarizedExperiment")
  set.seed(44)
  x <- matrix(rnorm(30 * 8), 30, 8, dimnames = list(paste0("g", 1:30), paste0("s", 1:8)))
  cd <- data.frame(cond = rep(c("a", "b"), 4), batch = rep(1:2, each = 4))
  se <- SummarizedExperiment::SummarizedExperiment(assays = list(x), colData = cd)
  run <- function(data, ...) { set.seed(1); suppressWarnings(odp_test(data, B = 2, ...)$table) }
  ref <- run(x, group = cd$cond, covariates = data.frame(batch = factor(cd$batch)))
  expect_identical(run(se, group = "cond", covariates = ~ factor(batch)), ref)
  expect_identical(run(se, group = "cond", covariates = "batch")$statistic,
                   run(x, group = cd$cond, covariates = cd["batch"])$statistic)
  expect_error(odp_test(se, group = "condition"), "'group' = \"condition\" is not a column of the column data")
  cd$tm <- rep(0:3, each = 2); cd$who <- rep(1:2, 4)
  se <- SummarizedExperiment::SummarizedExperiment(assays = list(x), colData = cd)
  tc <- function(data, ...) { set.seed(1); suppressWarnings(timecourse_test(data, B = 2, df = 1, ...)$table) }
  expect_identical(tc(se, time = "tm", individual = "who", covariates = "batch"),
                   tc(x, time = cd$tm, individual = cd$who, covariates = cd["batch"]))
  expect_error(odp_test(se, "cond", covariates = c("batch", "sex")), "does not have: sex")
})

test_that("designs that cannot be fitted are refused, naming the confounded terms", {
  x <- matrix(rnorm(120), 10, 12)
  g <- rep(1:2, each = 6)
  bad <- list(
    list(data.frame(b = rep(1:2, each = 6)), "'group' is confounded with the covariates \\(b\\)"),
    list(data.frame(p = factor(rep(1:4, each = 3))), "'group' is confounded with the covariates \\(p\\)"),
    list(data.frame(a = 1:12, b = 2 * (1:12)), "term 'b' is not estimable given the intercept and the terms before"),
    list(data.frame(a = rep(1, 12)), "term 'a' is not estimable given the intercept;"),
    list(data.frame(a = c(NA, 1:11)), "'covariates' contains missing values"),
    list(data.frame(a = 1:5), "'covariates' must have one row per array \\(12\\), not 5"),
    list(~ a + b, "'covariates': object 'a' not found"),
    list(y ~ a, "'covariates' must be a one-sided formula"),
    list(list(a = 1:12), "'covariates' must be a data frame, a one-sided formula$"),
    list(data.frame(a = factor(1:12)), "no residual degrees of freedom|confounded")
  )
  for (b in bad) expect_error(odp_test(x, g, B = 0, covariates = b[[1]]), b[[2]], info = b[[2]])
})

# F of every row of y from lm fits of the null and alternative formulas (data in `d`).
lm_F_data <- function(y, null, alt, d) {
  rss <- function(f) colSums(residuals(lm(f, data = d))^2)
  d$Y <- t(y)
  unname(rss(null) / rss(alt) - 1)
}

test_that("timecourse_test with covariates: F of lm fits, limma's moderated F, the adjusted curve range", {
  set.seed(45)
  N <- 4; Tn <- 5; n <- N * Tn; m <- 12
  d <- data.frame(tl = rep(c(0, 1, 2, 4, 7), N), ind = factor(rep(1:N, each = Tn)), batch = factor(rep(1:2, 10)),
                  age = rnorm(n))
  y <- matrix(rnorm(m * n), m, n) + matrix(rnorm(m * N, sd = 2), m, N)[, d$ind] + outer(rnorm(m), d$age)
  y[1:3, ] <- y[1:3, ] + outer(1:3, sqrt(d$tl))
  designs <- list(list(ind = NULL, null = Y ~ batch + age), list(ind = d$ind, null = Y ~ ind + batch + age))
  for (ds in designs) {
    alt <- update(ds$null, ~ . + splines::ns(tl, 2))
    fit <- timecourse_test(y, d$tl, individual = ds$ind, B = 0, covariates = d[c("batch", "age")], moderate = FALSE)
    expect_equal(fit$table$statistic, lm_F_data(y, ds$null, alt, d), tolerance = 1e-10)
    X <- model.matrix(alt[-2], d)
    spline <- grep("ns", colnames(X))
    fit <- timecourse_test(y, d$tl, individual = ds$ind, B = 0, covariates = d[c("batch", "age")])
    expect_equal(fit$table$statistic, limma::topTable(limma::eBayes(limma::lmFit(y, X)), coef = spline,
                                                      number = Inf, sort.by = "none")$F, tolerance = 1e-10)
    # The curve: the spline part of the same least-squares fit.
    curve <- t(qr.coef(qr(X), t(y))[spline, ]) %*% t(X[, spline])
    expect_equal(fit$table$range, unname(apply(curve, 1, function(v) diff(range(v)))), tolerance = 1e-10)
  }
  # Random baselines: lme4's maximum-likelihood fits of the covariate design.
  skip_if_not_installed("lme4")
  X1 <- cbind(1, model.matrix(~ batch + age, d)[, -1], splines::ns(d$tl, 2))
  batch <- d$batch; age <- d$age
  fit <- timecourse_test(y, d$tl, d$ind, intercept = "random", B = 0, covariates = ~ batch + age, moderate = FALSE)
  ref <- vapply(seq_len(m), function(i) lmer_F(y[i, ], X1, X1[, 1:3], d$ind), 0)
  expect_equal(fit$table$statistic, ref, tolerance = 1e-4)
})

test_that("the profile plot draws chosen genes with their curves and refuses genes that are not there", {
  set.seed(46)
  tl <- rep(0:4, 3); ind <- rep(c("a", "b", "c"), each = 5)
  y <- matrix(rnorm(30 * 15), 30, 15, dimnames = list(paste0("g", 1:30), NULL))
  pdf(NULL)
  on.exit(dev.off())
  fit <- timecourse_test(y, tl, ind, B = 5, covariates = data.frame(dose = rnorm(15)))
  expect_identical(plot(fit, type = "profile"), fit)
  expect_identical(plot(fit, type = "profile", genes = c("g2", "g7")), fit)
  plain <- timecourse_test(y, tl, B = 2)
  expect_identical(plot(plain, type = "profile", genes = 3), plain)
  for (g in list("g99", 31, 1.5, TRUE))
    expect_error(plot(fit, type = "profile", genes = g), "'genes' must name genes of the table", info = deparse(g))
  expect_error(plot(suppressWarnings(odp_test(y, rep(1:3, 5), B = 2)), type = "profile"), "needs a time-course result")
})

test_that("time-course designs that cannot be fitted are refused, naming the confounded terms", {
  tl <- rep(0:4, 4); ind <- rep(1:4, each = 5)
  y <- matrix(rnorm(10 * 20), 10, 20)
  bad <- list(
    list(NULL, data.frame(t2 = tl), "'the spline of time' is confounded with the covariates \\(t2\\)"),
    list(ind, data.frame(sex = rep(c("f", "m"), each = 10)), "term 'sex' is not estimable given the individuals"),
    list(ind, ~ nothing, "'covariates': object 'nothing' not found"))
  for (b in bad)
    expect_error(timecourse_test(y, tl, b[[1]], B = 0, covariates = b[[2]]), b[[3]], info = b[[3]])
  # With random baselines a covariate of the individuals is a fixed effect beside them.
  expect_s3_class(timecourse_test(y, tl, ind, intercept = "random", B = 0,
                                  covariates = data.frame(sex = rep(c("f", "m"), each = 10))), "lumo_test")
})

# odp_test against the ODP written out from Gaussian likelihoods, its drawn null
# redone in plain R, the calibration of its p-values, and its refusals of bad input.

# The fitted models: group means of the centred data, residual and total
# variances, moderated by limma's squeezeVar or the genes' own.
odp_models <- function(x, group, moderate) {
  g <- as.integer(factor(group)); n <- ncol(x); k <- max(g)
  xc <- x - rowMeans(x)
  mu <- t(apply(xc, 1, function(r) tapply(r, g, mean)))
  rss <- rowSums((xc - mu[, g])^2)
  ss0 <- rowSums(xc^2)
  p1 <- limma::squeezeVar(rss / (n - k), n - k)
  p0 <- limma::squeezeVar(ss0 / (n - 1), n - 1)
  post <- function(p, ss, d) if (moderate) (p$df.prior * p$var.prior + ss) / (p$df.prior + d) else ss / d
  list(g = g, n = n, k = k, xc = xc, mu = mu, rss = rss, p1 = p1, post = post,
       sig = sqrt(if (moderate) p1$var.post else rss / (n - k)),
       sig0 = sqrt(if (moderate) p0$var.post else ss0 / (n - 1)),
       own = function(d) {   # likelihoods of data d under their own fits
         m <- tapply(d, g, mean)[g]
         w <- sum((d - m)^2); t <- sum(d^2)
         c(prod(dnorm(d, m, sqrt(post(p1, w, n - k)))), prod(dnorm(d, 0, sqrt(post(p0, t, n - 1)))))
       })
}

# The ODP of data d from raw likelihoods (dnorm products), leaving out the
# reference models of gene `self` (0: none) and adding d's own fits instead.
odp_stat <- function(models, d, null, self = 0) {
  M <- models
  alt <- vapply(setdiff(seq_len(nrow(M$mu)), self), function(j) prod(dnorm(d, M$mu[j, M$g], M$sig[j])), 0)
  nul <- vapply(setdiff(null, self), function(j) prod(dnorm(d, 0, M$sig0[j])), 0)
  own <- if (self > 0) M$own(d) else c(0, 0)
  (sum(alt) + own[1]) / (sum(nul) + own[2])
}

test_that(paste("odp_test matches the likelihood ODP, moderated or not, with p = (1 + #null >= s) / (1 + #null),",
                "the chosen FDR step, and the means and group differences of a linear model"), {
  set.seed(11)
  cases <- list(
    list(m = 30, group = rep(c("a", "b"), c(4, 4)), null_genes = NULL, B = 3, moderate = TRUE,
         fdr = "qvalue"),
    list(m = 24, group = factor(c(3, 1, 2, 3, 1, 2, 3, 1, 2, 3), levels = c(3, 1, 2)),
         null_genes = c(rep(TRUE, 16), rep(FALSE, 8)), B = 2, moderate = TRUE),
    list(m = 6, group = factor(c(rep(c("x", "y"), 3), "x"), levels = c("y", "x", "z")), null_genes = c(5, 2, 2),
         B = 1, moderate = FALSE),
    list(m = 40, group = rep(1:2, 4), null_genes = 3:40, B = 2, moderate = FALSE),
    # Null statistics enough for strata.
    list(m = 30, group = rep(1:2, 3), null_genes = NULL, B = 100, moderate = TRUE, strata = TRUE),
    list(m = 30, group = rep(1:3, 3), null_genes = 1:20, B = 100, moderate = FALSE, strata = TRUE)
  )
  for (cs in cases) {
    n <- length(cs$group)
    x <- matrix(rnorm(cs$m * n), cs$m, n) * sqrt(0.3 / rchisq(cs$m, 3)) + 5
    x[1:3, cs$group == cs$group[1]] <- x[1:3, cs$group == cs$group[1]] + 3
    rownames(x) <- paste0("gene", seq_len(cs$m))
    null <- if (is.null(cs$null_genes)) seq_len(cs$m) else if (is.logical(cs$null_genes))
      which(cs$null_genes) else sort(unique(cs$null_genes))
    fdr <- if (is.null(cs$fdr)) "BH" else cs$fdr
    fit <- suppressWarnings(odp_test(x, cs$group, B = cs$B, null_genes = cs$null_genes, moderate = cs$moderate,
                                     fdr = fdr))
    M <- odp_models(x, cs$group, cs$moderate)
    t <- fit$table
    expect_identical(t$gene, rownames(x))
    expect_equal(t$statistic, unname(apply(M$xc, 1, odp_stat, models = M, null = null)), tolerance = 1e-9)
    expect_length(fit$null, length(null) * cs$B)
    # Strata: equal shares of the null genes by their residual sum of squares; each
    # gene counts the null statistics of its own.
    expect_identical(is.null(fit$strata), is.null(cs$strata))
    K <- if (is.null(fit$strata)) 1 else max(fit$strata$gene)
    cuts <- quantile(M$rss[null], seq_len(K - 1) / K)
    stratum <- findInterval(M$rss, cuts, left.open = TRUE) + 1L
    null_stratum <- if (K == 1) rep(1L, length(fit$null)) else fit$strata$null
    expect_identical(sort(unique(null_stratum)), seq_len(K))
    if (K > 1) {
      expect_identical(fit$strata$gene, stratum)
      expect_output(print(fit), sprintf("null pooled within %d strata", K))
    }
    p <- vapply(seq_len(cs$m), function(i) {
      pool <- fit$null[null_stratum == stratum[i]]
      (1 + sum(pool >= t$statistic[i])) / (1 + length(pool))
    }, 0)
    expect_identical(t$p.value, p)
    q <- tryCatch(qvalue::qvalue(p), error = function(e) qvalue::qvalue(p, pi0 = 1, lfdr.out = FALSE))
    expect_equal(t$q.value, if (fdr == "BH") p.adjust(p, "BH") else q$qvalues)
    expect_equal(fit$pi0, q$pi0)
    # Effects: the mean, and the group coefficients of ~ group (the levels in the factor's order).
    g <- droplevels(factor(cs$group))
    coef <- unname(limma::lmFit(x, model.matrix(~ g))$coefficients)
    effect <- if (nlevels(g) == 2L) "logFC" else paste0("mean.", levels(g))
    expect_identical(names(t), c("gene", "mean", effect, "statistic", "p.value", "q.value"))
    expect_identical(fit$effect, effect)
    expect_equal(t$mean, unname(rowMeans(x)))
    expect_equal(unname(as.matrix(t[effect])), if (nlevels(g) == 2L) coef[, 2, drop = FALSE] else
      coef[, 1] + cbind(0, coef[, -1]))
  }
})

test_that("the null statistics have the distribution of the drawn null written out, and null p-values are uniform", {
  # Heavy-tailed variances as in real arrays, three small groups, no gene changed.
  set.seed(31)
  m <- 300; group <- rep(1:3, each = 3); n <- 9
  x <- matrix(rnorm(m * n), m, n) * sqrt(3 * 0.08 / rchisq(m, 3))
  for (moderate in c(TRUE, FALSE)) {
    set.seed(5)
    fit <- odp_test(x, group, B = 100, moderate = moderate)
    expect_length(unique(fit$strata$gene), 5)   # the p-values below pool within five strata
    # The same recipe in plain R with R's own random numbers: each gene's variance
    # drawn from its posterior, normal data centred, scored against the other genes'
    # models and its own fits.
    M <- odp_models(x, group, moderate)
    d0 <- M$p1$df.prior; s0 <- M$p1$var.prior
    set.seed(6)
    ref <- unlist(lapply(1:4, function(h) {
      vapply(seq_len(m), function(i) {
        z <- rnorm(n)
        odp_stat(M, sqrt((d0 * s0 + M$rss[i]) / rchisq(1, d0 + n - 3)) * (z - mean(z)), seq_len(m), self = i)
      }, 0)
    }))
    expect_gt(ks.test(fit$null, ref)$p.value, 1e-3)
    # p-values tie where genes share a count of null statistics above them.
    expect_gt(suppressWarnings(ks.test(fit$table$p.value, "punif"))$p.value, 1e-3)
  }
})

test_that("odp_test follows set.seed", {
  set.seed(2)
  x <- matrix(rnorm(80 * 6), 80, 6)
  run <- function(seed) { set.seed(seed); suppressWarnings(odp_test(x, rep(1:2, 3), B = 5)) }
  expect_identical(run(7), run(7))
  expect_false(identical(run(8)$null, run(7)$null))
})

test_that("odp_test reads SummarizedExperiment and ExpressionSet objects", {
  skip_if_not_installed("SummarizedExperiment")
  skip_if_not_installed("Biobase")
  set.seed(4)
  x <- matrix(rnorm(40 * 6), 40, 6, dimnames = list(paste0("g", 1:40), paste0("s", 1:6)))
  g <- rep(1:2, 3)
  run <- function(data, ...) { set.seed(1); suppressWarnings(odp_test(data, g, B = 2, ...)$table) }
  se <- SummarizedExperiment::SummarizedExperiment(assays = list(raw = x * 0, norm = x))
  expect_identical(run(se, assay = "norm"), run(x))
  expect_identical(run(Biobase::ExpressionSet(x)), run(x))
  # An assay that is not there is named, with the assays that are.
  listed <- "'assay' must be the name or number of an assay of 'x'; its assays are 1 \\(\"raw\"\\), 2 \\(\"norm\"\\)$"
  bad <- list(list(se, "nrm", listed), list(se, 3, listed), list(se, 0, listed), list(se, 1.5, listed),
              list(se, NA, listed), list(se, c("raw", "norm"), listed),
              list(SummarizedExperiment::SummarizedExperiment(assays = list(x)), "a", "its assays are 1$"),
              list(SummarizedExperiment::SummarizedExperiment(), NULL, "'x' has no assays"))
  for (b in bad) expect_error(odp_test(b[[1]], g, B = 2, assay = b[[2]]), b[[3]], info = deparse(b[[2]]))
})

test_that("odp_test refuses bad input before anything runs, naming the argument", {
  x <- matrix(rnorm(60), 10, 6)
  g <- rep(1:2, 3)
  bad <- list(
    list(quote(odp_test(letters[1:6], g)), "'x' must be a numeric matrix"),
    list(quote(odp_test(matrix(letters[1:12], 2), g)), "'x' must be a numeric matrix"),
    list(quote(odp_test(replace(x, 3, NA), g)), "'x' contains missing values"),
    list(quote(odp_test(rbind(x, 1), g)), "do not vary within the groups \\(rows 11\\)"),
    list(quote(odp_test(x, g[-1])), "'group' must be a vector or factor with one entry per array"),
    list(quote(odp_test(x, replace(g, 2, NA))), "'group' contains missing values"),
    list(quote(odp_test(x, addNA(factor(replace(g, 2, NA))))), "'group' contains missing values"),
    list(quote(odp_test(x, rep(1, 6))), "'group' must name at least two groups"),
    list(quote(odp_test(x, c(1, 1, 1, 2, 2, 3))), "at least two arrays.*: 3"),
    list(quote(odp_test(x, g, B = -1)), "'B' must be at least 0"),
    list(quote(odp_test(x, g, B = 2.5)), "'B' must be a single whole number"),
    list(quote(odp_test(x, g, null_genes = 11)), "'null_genes' must hold row numbers between 1 and 10"),
    list(quote(odp_test(x, g, null_genes = rep(FALSE, 10))), "'null_genes' must select at least one gene"),
    list(quote(odp_test(x, g, null_genes = TRUE)), "'null_genes' needs one TRUE/FALSE per gene"),
    list(quote(odp_test(x, g, null_genes = "g1")), "'null_genes' names genes that are not row names"),
    list(quote(odp_test(`rownames<-`(x, rep(c("a", "b"), 5)), g, null_genes = c("a", "b"))),
         "row names of 'x' are not unique: a, b"),
    list(quote(odp_test(x, g, fdr = "BY")), "'fdr' must be one of \"BH\", \"qvalue\""),
    list(quote(odp_test(x, g, moderate = "yes")), "'moderate' must be TRUE or FALSE"),
    list(quote(odp_test(x, g, background = NA)), "'background' must be TRUE or FALSE"),
    list(quote(odp_test(x, g, BPPARAM = 2)), "'BPPARAM' must be a BiocParallel backend"),
    list(quote(odp_test(x, g, background = TRUE, BPPARAM = BiocParallel::SnowParam(2))),
         "'background = TRUE' .* needs 'BPPARAM = BiocParallel::SerialParam\\(\\)'")
  )
  for (b in bad) expect_error(eval(b[[1]]), b[[2]], info = deparse(b[[1]]))
})

test_that("odp_test warns when a design is below what its null is calibrated for", {
  set.seed(9)
  cases <- list(
    list(m = 120, group = rep(1:2, 2), warns = "fewer than 3 degrees of freedom"),
    list(m = 60, group = rep(1:2, 4), warns = "below 100 genes"),
    list(m = 120, group = rep(1:2, 3), warns = NA)
  )
  for (cs in cases) {
    x <- matrix(rnorm(cs$m * length(cs$group)), cs$m)
    expect_warning(odp_test(x, cs$group, B = 0), cs$warns)
  }
})

test_that("many arrays with a small or large spread give the statistics of the same data at unit spread", {
  # The likelihoods multiply one density per array: (1/sd)^130 leaves the range of
  # doubles at sd = 1e-3 or 1e3 unless the data are put on a common scale first.
  set.seed(21)
  x <- matrix(rnorm(100 * 130), 100, 130)
  x[1:10, 66:130] <- x[1:10, 66:130] + 1
  g <- rep(1:2, each = 65)
  set.seed(2); unit <- odp_test(x, g, B = 2)$table
  for (s in c(1e-3, 1e3)) {
    set.seed(2); scaled <- odp_test(x * s, g, B = 2)$table
    expect_true(all(is.finite(scaled$statistic)), info = format(s))
    expect_equal(scaled[-(2:3)], unit[-(2:3)], tolerance = 1e-10, info = format(s))
  }
})

test_that("plot draws the p-value histogram or the volcano plot of each test's effect, and refuses other types", {
  set.seed(3)
  x <- matrix(rnorm(120 * 6), 120, 6)
  fits <- list(odp_test(x, rep(1:2, 3), B = 2), odp_test(x, rep(c("b", "a", "c"), 2), B = 2),
               timecourse_test(x, 1:6, B = 2))
  pdf(NULL)
  on.exit(dev.off())
  for (f in fits) for (type in c("histogram", "volcano")) expect_silent(plot(f, type))
  expect_error(plot(fits[[1]], type = "qq"), "'type' must be one of \"histogram\", \"volcano\"")
  expect_error(plot(odp_test(x, rep(1:2, 3), B = 0), "volcano"), "no p-values to plot")
})

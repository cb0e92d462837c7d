# odp_test against the ODP written out from Gaussian likelihoods, its bootstrap
# redone in plain R from the same seed, and its refusals of bad input.

# Observed and bootstrap ODP statistics from raw likelihoods (dnorm products).
odp_reference <- function(x, group, null, B, seed) {
  g <- as.integer(factor(group)); n <- ncol(x); k <- max(g); m <- nrow(x)
  xc <- x - rowMeans(x)
  mu <- t(apply(xc, 1, function(r) tapply(r, g, mean)))
  res <- xc - mu[, g]
  sig <- sqrt(rowSums(res^2) / (n - k))
  sig0 <- sqrt(rowSums(xc^2) / (n - 1))
  stat <- function(d) {
    alt <- sum(vapply(seq_len(m), function(j) prod(dnorm(d, mu[j, g], sig[j])), 0))
    alt / sum(vapply(null, function(j) prod(dnorm(d, 0, sig0[j])), 0))
  }
  set.seed(seed)
  vv <- matrix(sample.int(n, B * n, replace = TRUE), B, n)
  nulls <- unlist(lapply(seq_len(B), function(h) vapply(null, function(i) {
    d <- res[i, vv[h, ]]
    d <- d - mean(d)
    stat(d * sig[i] / sqrt(sum(d^2) / (n - 1)))
  }, 0)))
  list(observed = unname(apply(xc, 1, stat)), null = nulls)
}

test_that("odp_test matches the likelihood ODP, its bootstrap and bootstrap p- and q-values", {
  set.seed(11)
  cases <- list(
    list(m = 30, group = rep(c("a", "b"), c(4, 4)), null_genes = NULL, B = 3),
    list(m = 24, group = c(3, 1, 2, 3, 1, 2, 3, 1, 2), null_genes = c(rep(TRUE, 16), rep(FALSE, 8)), B = 2),
    list(m = 6, group = factor(rep(c("x", "y"), 3), levels = c("y", "x", "z")), null_genes = c(5, 2, 2), B = 1),
    list(m = 4, group = rep(1:2, 3), null_genes = 3, B = 1)
  )
  for (cs in cases) {
    n <- length(cs$group)
    x <- matrix(rnorm(cs$m * n, sd = 2), cs$m, n) + 5
    x[1:3, cs$group == cs$group[1]] <- x[1:3, cs$group == cs$group[1]] + 3
    rownames(x) <- paste0("gene", seq_len(cs$m))
    null <- if (is.null(cs$null_genes)) seq_len(cs$m) else if (is.logical(cs$null_genes))
      which(cs$null_genes) else sort(unique(cs$null_genes))
    seed <- sample.int(1000, 1)
    set.seed(seed)
    fit <- odp_test(x, cs$group, B = cs$B, null_genes = cs$null_genes)
    ref <- odp_reference(x, cs$group, null, cs$B, seed)
    t <- fit$table
    expect_identical(t$gene, rownames(x))
    expect_equal(t$statistic, ref$observed, tolerance = 1e-9)
    expect_equal(fit$null, ref$null, tolerance = 1e-9)
    p <- vapply(t$statistic, function(s) mean(fit$null >= s), 0)
    expect_identical(t$p.value, p)
    q <- tryCatch(qvalue::qvalue(p), error = function(e) qvalue::qvalue(p, pi0 = 1, lfdr.out = FALSE))
    expect_equal(t$q.value, q$qvalues)
    expect_equal(fit$pi0, q$pi0)
  }
})

test_that("odp_test follows set.seed and is the same on any backend and thread count", {
  skip_if(system.file(package = "lumo") == "", "SnowParam workers need lumo installed")
  set.seed(2)
  x <- matrix(rnorm(80 * 6), 80, 6)
  run <- function(seed = 7, B = 5, BPPARAM = BiocParallel::SerialParam(), threads = 2) {
    withr::local_options(lumo.threads = threads)
    set.seed(seed)
    odp_test(x, rep(1:2, 3), B = B, BPPARAM = BPPARAM)
  }
  serial <- run()
  expect_identical(run(), serial)
  expect_identical(run(threads = 1), serial)
  expect_identical(run(BPPARAM = snow_workers()), serial)
  expect_identical(run(B = 1, BPPARAM = snow_workers()), run(B = 1))
  expect_false(identical(run(seed = 8)$null, serial$null))
  expect_error(run(threads = 0), "option 'lumo.threads' must be a positive whole number")
})

test_that("odp_test reads SummarizedExperiment and ExpressionSet objects", {
  skip_if_not_installed("SummarizedExperiment")
  skip_if_not_installed("Biobase")
  set.seed(4)
  x <- matrix(rnorm(40 * 6), 40, 6, dimnames = list(paste0("g", 1:40), paste0("s", 1:6)))
  g <- rep(1:2, 3)
  run <- function(data, ...) { set.seed(1); odp_test(data, g, B = 2, ...)$table }
  se <- SummarizedExperiment::SummarizedExperiment(assays = list(raw = x * 0, norm = x))
  expect_identical(run(se, assay = "norm"), run(x))
  expect_identical(run(Biobase::ExpressionSet(x)), run(x))
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
    list(quote(odp_test(x, rep(1, 6))), "'group' must name at least two groups"),
    list(quote(odp_test(x, c(1, 1, 1, 2, 2, 3))), "at least two arrays.*: 3"),
    list(quote(odp_test(x, g, B = -1)), "'B' must be at least 0"),
    list(quote(odp_test(x, g, B = 2.5)), "'B' must be a single whole number"),
    list(quote(odp_test(x, g, null_genes = 11)), "'null_genes' must hold row numbers between 1 and 10"),
    list(quote(odp_test(x, g, null_genes = rep(FALSE, 10))), "'null_genes' must select at least one gene"),
    list(quote(odp_test(x, g, null_genes = TRUE)), "'null_genes' needs one TRUE/FALSE per gene"),
    list(quote(odp_test(x, g, null_genes = "g1")), "'null_genes' names genes that are not row names"),
    list(quote(odp_test(x, g, background = NA)), "'background' must be TRUE or FALSE"),
    list(quote(odp_test(x, g, BPPARAM = 2)), "'BPPARAM' must be a BiocParallel backend"),
    list(quote(odp_test(x, g, background = TRUE, BPPARAM = BiocParallel::SnowParam(2))),
         "'background = TRUE' .* needs 'BPPARAM = BiocParallel::SerialParam\\(\\)'")
  )
  for (b in bad) expect_error(eval(b[[1]]), b[[2]], info = deparse(b[[1]]))
})

# impute_knn against brute-force neighbour means, with and without blocks, and
# the rules for mostly missing rows and columns.

# Brute force: the k other rows of `pool` nearest by mean squared difference over
# shared observed columns (ties to the earlier row); a missing value is the
# neighbours' mean of their observed values, or NA when none has one.
brute_force_knn <- function(x, k, pool = seq_len(nrow(x))) {
  out <- x
  for (i in pool[rowSums(is.na(x[pool, , drop = FALSE])) > 0]) {
    others <- setdiff(pool, i)
    d <- vapply(others, function(j) {
      shared <- !is.na(x[i, ]) & !is.na(x[j, ])
      if (any(shared)) mean((x[i, shared] - x[j, shared])^2) else 1e10
    }, 0)
    nb <- others[order(d, method = "radix")[seq_len(k)]]
    for (j in which(is.na(x[i, ]))) {
      v <- x[nb, j]
      out[i, j] <- if (all(is.na(v))) NA else mean(v, na.rm = TRUE)
    }
  }
  out
}

# Genes from a few expression profiles plus noise, with a share of entries masked.
masked_study <- function(p, n, frac, seed, profiles = 4, spread = 3) {
  set.seed(seed)
  centres <- matrix(rnorm(profiles * n, sd = spread), profiles, n)
  x <- centres[sample(profiles, p, replace = TRUE), ] + matrix(rnorm(p * n), p, n)
  x[matrix(runif(p * n) < frac, p, n)] <- NA
  x
}

# impute_knn's result checked against the brute force within the given blocks;
# entries no neighbour could fill must hold the column mean and be listed.
expect_matches_brute_force <- function(x, k, blocks, maxp) {
  got <- impute_knn(x, k = k, maxp = maxp, rowmax = 1, colmax = 1)
  want <- x
  for (b in blocks) want[b, ] <- brute_force_knn(x, k, b)[b, ]
  gap <- which(is.na(want), arr.ind = TRUE)
  want[gap] <- colMeans(x, na.rm = TRUE)[gap[, 2]]
  expect_equal(unname(got[, ]), unname(want), tolerance = 1e-12, ignore_attr = TRUE)
  expect_identical(unname(attr(got, "mean_filled")), unname(gap[order(gap[, 2], gap[, 1]), , drop = FALSE]))
}

test_that("without blocks every missing value is its neighbours' mean", {
  x <- masked_study(80, 6, 0.15, 1)
  x[1:4, 6] <- NA   # rows whose neighbours may all lack column 6
  for (k in c(1L, 4L, 12L)) expect_matches_brute_force(x, k, list(seq_len(80)), maxp = Inf)
  # Rounded values with duplicated rows: a row at distance 0 before the one
  # imputed is its neighbour, and the row itself never is.
  set.seed(8)
  y <- round(masked_study(60, 5, 0, 3, spread = 1))
  y[c(10, 30, 50), ] <- y[rep(c(5, 6), c(1, 2)), ]
  y[cbind(c(10, 30, 50, 41, 42), c(2, 4, 1, 3, 3))] <- NA
  for (k in c(1L, 2L, 5L)) expect_matches_brute_force(y, k, list(seq_len(60)), maxp = Inf)
  z <- rbind(c(0, 0, 0, 0), c(1, 5, 1, 1), c(1, 9, 1, 1.5), c(1, NA, 1, 1), c(4, 0, 4, 4), c(5, 1, 5, 5))
  expect_identical(vapply(1:2, function(k) impute_knn(z, k = k, maxp = Inf)[4, 2], 0), c(5, 7))
})

test_that("with blocks the neighbours come from the row's own block, and blocks follow separated groups", {
  x <- masked_study(150, 5, 0.1, 2, profiles = 6, spread = 1)
  for (maxp in c(20L, 60L)) {
    blocks <- lumo:::knn_blocks(x, is.na(x), 3L, maxp)
    sizes <- lengths(blocks)
    expect_identical(sort(unlist(blocks)), 1:150)
    expect_true(all(sizes >= 4L & sizes <= maxp))
    expect_gt(length(blocks), 150 / maxp)
    expect_matches_brute_force(x, 3L, blocks, maxp)
  }
  # Well separated groups of genes become the blocks.
  set.seed(6)
  group <- sample(3, 120, replace = TRUE)
  x <- c(0, 10, 20)[group] + matrix(rnorm(120 * 4), 120, 4)
  x[sample(length(x), 40)] <- NA
  blocks <- lumo:::knn_blocks(x, is.na(x), 5L, 60L)
  expect_setequal(lapply(blocks, sort), split(seq_len(120), group))
})

test_that("mostly missing rows get column means and lend nothing; dimnames are kept", {
  x <- masked_study(40, 8, 0, 3)
  dimnames(x) <- list(paste0("g", 1:40), paste0("a", 1:8))
  x[7, 1:5] <- NA   # 5 of 8 missing: more than rowmax = 0.5
  x[cbind(c(2, 9, 20, 33), c(1, 4, 8, 8))] <- NA
  got <- impute_knn(x, k = 3)
  expect_identical(dimnames(got), dimnames(x))
  expect_equal(got[7, 1:5], colMeans(x, na.rm = TRUE)[1:5])
  expect_identical(attr(got, "mean_filled"), cbind(row = rep(7L, 5), col = 1:5))
  want <- brute_force_knn(x, 3, setdiff(1:40, 7))
  expect_equal(got[-7, ], want[-7, ], ignore_attr = TRUE)
  # A row with nothing observed gets column means also when rowmax allows it.
  x[12, ] <- NA
  expect_equal(impute_knn(x, k = 3, rowmax = 1)[12, ], colMeans(x, na.rm = TRUE))
  # A complete matrix comes back unchanged, with an empty record.
  full <- masked_study(10, 3, 0, 4)
  expect_identical(impute_knn(full, k = 2)[, ], full)
  expect_identical(dim(attr(impute_knn(full, k = 2), "mean_filled")), c(0L, 2L))
})

test_that("bad inputs are refused with messages naming the argument", {
  x <- masked_study(12, 5, 0.1, 5)
  x[1, 1] <- NA
  sparse_col <- x
  sparse_col[1:11, 2] <- NA
  cases <- list(
    list(quote(impute_knn(x, k = 12)), "'k' \\(12\\) must be smaller than the number of rows of 'x' \\(12\\)"),
    list(quote(impute_knn(x, k = 0)), "'k' must be at least 1"),
    list(quote(impute_knn(x, k = 2.5)), "'k' must be a single whole number"),
    list(quote(impute_knn(x, rowmax = 1.5)), "'rowmax' must be a number between 0 and 1"),
    list(quote(impute_knn(x, colmax = NA)), "'colmax' must be a number between 0 and 1"),
    list(quote(impute_knn(x, k = 3, maxp = 6)), "'maxp' must be at least 7"),
    list(quote(impute_knn(replace(x, TRUE, "a"), k = 3)), "'x' must be a numeric matrix"),
    list(quote(impute_knn(replace(x, 2, Inf), k = 3)), "'x' contains infinite values"),
    list(quote(impute_knn(sparse_col, k = 3)), "'x' has columns with more than colmax = 0.8 .*\\(2\\)"),
    list(quote(impute_knn(replace(x, cbind(1:12, 3), NA), k = 3, colmax = 1)),
         "'x' has columns without any observed value \\(3\\)"),
    list(quote(impute_knn(replace(x, cbind(c(rep(1:9, 3), 10), c(rep(1:3, each = 9), 5)), NA),
                          k = 3, colmax = 1)),
         "'k' \\(3\\) must be smaller than the number of rows with at most rowmax"))
  for (case in cases) expect_error(eval(case[[1]]), case[[2]])
})

# The .Call routine that impute_knn uses must give, bit for bit, what the
# registered .Fortran routine knnimp gives, for any thread count; it refuses
# what knnimp refuses, and leaves its arguments as they were.
test_that("the interruptible imputation routine equals knnimp", {
  cases <- list(
    list(p = 40L, n = 6L, frac = 0.2, k = 3L, seed = 1),
    list(p = 300L, n = 12L, frac = 0.1, k = 10L, seed = 2),
    list(p = 9L, n = 3L, frac = 0.3, k = 8L, seed = 3),  # k one below p
    list(p = 60L, n = 5L, frac = 0.05, k = 1L, seed = 4, dup = TRUE)  # duplicated rows
  )
  for (cs in cases) {
    x <- masked_study(cs$p, cs$n, cs$frac, cs$seed)
    if (isTRUE(cs$dup)) x[seq(2, cs$p, 2), ] <- x[seq(1, cs$p - 1, 2), ]
    miss <- is.na(x)
    x[miss] <- 0
    irmiss <- as.integer(rowSums(miss) > 0)
    old <- .Fortran(lumo:::C_knnimp, x = x, ximp = x, p = cs$p, n = cs$n, imiss = as.integer(miss),
                    irmiss = irmiss, kn = cs$k, workp = double(0), workn = double(0),
                    iworkp = integer(0), iworkn = integer(0))
    x0 <- as.double(x); imiss0 <- as.integer(miss)
    for (threads in c(1L, 3L)) {
      new <- withr::with_options(list(lumo.threads = threads), {
        lumo:::set_native_threads()
        .Call(lumo:::C_KnnImputeInterruptible, x0, cs$p, cs$n, imiss0, irmiss, cs$k)
      })
      label <- sprintf("p %d, k %d, %d threads", cs$p, cs$k, threads)
      expect_identical(new$ximp, as.double(old$ximp), label = label)
      expect_identical(new$imiss, old$imiss, label = label)
    }
    expect_identical(x0, as.double(x))
    expect_identical(imiss0, as.integer(miss))
  }
  x <- masked_study(10, 4, 0.2, 5)
  miss <- as.integer(is.na(x)); x[is.na(x)] <- 0
  bad <- list(
    list(args = list(x, 10L, 4L, miss, rep(1L, 10), 10L), error = "kn"),
    list(args = list(x, 10L, 4L, replace(miss, 1L, 3L), rep(1L, 10), 2L), error = "imiss|indicator"),
    list(args = list(x, 10L, 5L, miss, rep(1L, 10), 2L), error = "'x' has length"),
    list(args = list(as.integer(x), 10L, 4L, miss, rep(1L, 10), 2L), error = "'x' must be a vector of type double"),
    list(args = list(x, 10L, 4L, miss, rep(1L, 9), 2L), error = "'irmiss' has length")
  )
  for (b in bad)
    expect_error(do.call(.Call, c(list(lumo:::C_KnnImputeInterruptible), b$args)), b$error)
})

# The checks every exported function taking 'x' shares: the same input is
# refused the same way by all of them, before any native work (B is far
# too large to finish if the bootstrap ran).

test_that("every function taking 'x' refuses missing row names, listing the rows", {
  set.seed(3)
  x <- matrix(rnorm(40 * 6), 40, 6, dimnames = list(paste0("g", 1:40), NULL))
  calls <- list(
    odp_test = function(x) odp_test(x, rep(1:2, 3), B = 1e6),
    timecourse_test = function(x) timecourse_test(x, 1:6, B = 1e6),
    timecourse_random = function(x) {
      timecourse_test(x, rep(1:3, 2), individual = rep(1:2, each = 3), intercept = "random", df = 1, B = 1e6)
    },
    cluster_rows = function(x) cluster_rows(x),
    impute_knn = function(x) impute_knn(replace(x, 2, NA), k = 3)
  )
  cases <- list(list(rows = 1, shown = "rows 1\\)"), list(rows = c(7, 9), shown = "rows 7, 9\\)"),
                list(rows = 1:40, shown = "rows 1, 2, 3, 4, 5, \\.\\.\\. \\(40 in all\\)\\)"))
  for (f in names(calls)) {
    for (cs in cases) {
      y <- x
      rownames(y)[cs$rows] <- NA
      expect_error(calls[[f]](y), paste0("'x' has missing row names \\(", cs$shown), info = f)
    }
  }
})

test_that("option lumo.threads must be a positive whole number, Inf included", {
  x <- matrix(rnorm(12), 4, 3)
  for (bad in list(0, -1, 2.5, Inf, -Inf, NA, NaN, "2", c(1, 2), TRUE))
    expect_error(withr::with_options(list(lumo.threads = bad), cluster_rows(x)),
                 "option 'lumo.threads' must be a positive whole number", info = deparse(bad))
})

test_that("a job gets no more threads than the option, the cores and its rows", {
  cores <- parallel::detectCores()
  threads <- function() .Call("GetThreadCount", PACKAGE = "lumo")
  old <- threads()
  on.exit(.Call("SetThreadCount", old, PACKAGE = "lumo"))
  set.seed(5)
  cases <- list(list(option = 1000, rows = 3), list(option = 1000, rows = 200), list(option = 1, rows = 200),
                list(option = NULL, rows = 2), list(option = NULL, rows = 200), list(option = 2, rows = 2))
  runs <- list(cluster_rows = function(x) cluster_rows(x),
               impute_knn = function(x) impute_knn(replace(x, 1, NA), k = 1),
               odp_test = function(x) suppressWarnings(odp_test(x, rep(1:2, 3), B = 1)),
               timecourse_test = function(x) timecourse_test(x, 1:6, df = 1, B = 1))
  for (f in names(runs)) {
    for (cs in cases) {
      x <- matrix(rnorm(cs$rows * 6), cs$rows, 6)
      withr::with_options(list(lumo.threads = cs$option), runs[[f]](x))
      expect_identical(threads(), as.integer(min(cs$option, cores, cs$rows)),
                       info = sprintf("%s, option %s, %d rows", f, format(cs$option), cs$rows))
    }
  }
})

test_that("a bootstrap whose null statistics exceed the machine's memory is refused up front, naming B", {
  have <- .Call("GetPhysicalMemory", PACKAGE = "lumo")
  # B x genes must stay below 2^31 for the memory bound to be what refuses.
  skip_if(have == 0 || have > 40e9, "physical memory unknown or too large to exceed here")
  m <- 2000
  B <- ceiling(1.5 * have / (32 * m))
  x <- matrix(rnorm(m * 6), m, 6)
  calls <- list(odp_test = function(B) odp_test(x, rep(1:2, 3), B = B),
                timecourse_test = function(B) timecourse_test(x, 1:6, B = B))
  for (f in names(calls))
    expect_error(calls[[f]](B), sprintf("'B' = %d needs about [0-9.]+ GB of memory .* of 2000 genes", B), info = f)
})

test_that("data scaled towards 1e300 or 1e-300 give the results of the same data at an ordinary scale", {
  set.seed(11)
  x <- matrix(rnorm(60 * 6), 60, 6)
  x[1:6, 4:6] <- x[1:6, 4:6] + 3
  missing <- replace(x, c(2, 65, 130), NA)
  filled <- function(y) replace(impute_knn(y, k = 3), !is.na(missing), 0)
  # Each run with its result's expected change under x * s.
  runs <- list(
    odp_test = list(run = function(y) suppressWarnings(odp_test(y, rep(1:2, each = 3), B = 3))$table,
                    scale = function(r, s) { r[c("mean", "logFC")] <- r[c("mean", "logFC")] * s; r }),
    timecourse_test = list(run = function(y) timecourse_test(y, 1:6, df = 1, B = 3)$table,
                           scale = function(r, s) { r$range <- r$range * s; r }),
    timecourse_random = list(run = function(y) {
                               timecourse_test(y, rep(1:3, 2), individual = rep(1:2, each = 3),
                                               intercept = "random", df = 1, B = 3)$table
                             },
                             scale = function(r, s) { r$range <- r$range * s; r }),
    euclidean = list(run = function(y) unclass(cluster_rows(y))[c("merge", "height", "order")],
                     scale = function(r, s) { r$height <- r$height * s; r }),
    correlation = list(run = function(y) unclass(cluster_rows(y, "correlation"))[c("merge", "height", "order")],
                       scale = function(r, s) r),
    impute_knn = list(run = function(y) filled(replace(y, is.na(missing), NA)), scale = function(r, s) r * s)
  )
  for (s in c(1e200, 1e300 / 4, 2^-1000, 1e-300, 1e-200)) {
    for (f in names(runs)) {
      set.seed(1); plain <- runs[[f]]$run(x)
      set.seed(1); scaled <- runs[[f]]$run(x * s)
      expect_equal(scaled, runs[[f]]$scale(plain, s), tolerance = 1e-10, info = sprintf("%s, x * %g", f, s))
    }
  }
})

test_that("rows far below the largest value of x are refused by every function, naming them", {
  set.seed(12)
  x <- matrix(rnorm(40 * 6), 40, 6, dimnames = list(paste0("g", 1:40), NULL))
  calls <- list(
    odp_test = function(x) odp_test(x, rep(1:2, 3), B = 1e6),
    timecourse_test = function(x) timecourse_test(x, 1:6, B = 1e6),
    euclidean = function(x) cluster_rows(x),
    correlation = function(x) cluster_rows(x, "correlation"),
    impute_knn = function(x) impute_knn(replace(x, 2, NA), k = 3)
  )
  cases <- list(
    # rows varying at 1e-300 among rows at an ordinary scale
    list(y = function(x) { x[c(3, 5), ] <- x[c(3, 5), ] * 1e-300; x }, shown = "g3, g5"),
    # rows at an ordinary scale beside a row near 1e300
    list(y = function(x) { x[1, ] <- x[1, ] * 1e200; x[1:6, ] }, shown = "g2, g3, g4, g5, g6"),
    list(y = function(x) { x[7, ] <- 1e300; x }, shown = "g1, g2, g3, g4, g5, \\.\\.\\. \\(39 in all\\)")
  )
  for (f in names(calls)) {
    for (cs in cases) {
      expect_error(calls[[f]](cs$y(x)), paste0("'x' has rows whose values are all more than 1e100 times smaller ",
                                               "than its largest value \\(rows ", cs$shown, "\\); their squares ",
                                               "are lost to underflow"), info = f)
    }
  }
})

test_that("x + 1e300 is constant in double precision, and refused as constant where that matters", {
  set.seed(13)
  x <- matrix(rnorm(20 * 6), 20, 6) + 1e300
  cases <- list(
    list(call = function() odp_test(x, rep(1:2, 3), B = 1e6), message = "20 gene\\(s\\) that do not vary within"),
    list(call = function() timecourse_test(x, 1:6, B = 1e6), message = "20 constant gene\\(s\\)"),
    list(call = function() cluster_rows(x, "correlation"), message = "'x' has constant rows")
  )
  for (cs in cases) expect_error(cs$call(), cs$message)
})

# The checks every exported function taking 'x' shares: the same input is
# refused the same way by all of them, before any native work (B is far
# too large to finish if the bootstrap ran).

test_that("every function taking 'x' refuses missing row names, listing the rows", {
  set.seed(3)
  x <- matrix(rnorm(40 * 6), 40, 6, dimnames = list(paste0("g", 1:40), NULL))
  calls <- list(
    odp_test = function(x) odp_test(x, rep(1:2, 3), B = 1e6),
    timecourse_test = function(x) timecourse_test(x, 1:6, B = 1e6),
    timecourse_random = function(x) timecourse_test(x, rep(1:3, 2), individual = rep(1:2, each = 3),
                                                    intercept = "random", df = 1, B = 1e6),
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

# Time-course null F statistics through R: the three designs, synchronous and
# in the background, against references computed in R.

test_that("independent design: each iteration is the F of fit plus resampled residuals", {
  cs <- tc_indep_case()
  r <- tc_run("RunTimecourseIndep", cs$args)
  expect_type(r, "list")
  expect_length(r, 2)
  expect_identical(names(r), c("F", ""))
  expect_null(r[[2]])
  expect_length(r$F, cs$m * cs$B)
  Fm <- matrix(r$F, cs$m, cs$B)   # gene-fastest
  for (k in seq_len(cs$B)) {
    null <- cs$fit0 + cs$res[, cs$v[k, ] + 1]
    expect_equal(Fm[, k], tc_plain_F(null, cs$H1, cs$H0), tolerance = 1e-12)
  }
  expect_identical(tc_run("RunTimecourseIndep", cs$args, background = TRUE), r)
})

test_that("design without intercept: residuals rebuilt, balanced per individual", {
  for (byTime in c(FALSE, TRUE)) {
    cs <- tc_noint_case(d = tc_design(byTime = byTime))
    r <- tc_run("RunTimecourseNoInt", cs$args)
    expect_identical(names(r), c("F", ""))
    Fm <- matrix(r$F, cs$m, cs$B)
    for (k in seq_len(cs$B))
      expect_equal(Fm[, k], tc_plain_F(tc_noint_null(cs, k), cs$H1, cs$H0), tolerance = 1e-12)
    expect_identical(tc_run("RunTimecourseNoInt", cs$args, background = TRUE), r)
  }
})

test_that("design without intercept with one observation per individual", {
  # N = n: res, v, inc and wsq are empty and the null data are the fit itself.
  d <- list(N = 6, n = 6, nGrp = rep(1L, 6), idx = 0:5, ind = 1:6, time = 0:5)
  cs <- tc_noint_case(d = d)
  expect_length(cs$args[[18]], 0); expect_length(cs$args[[25]], 0); expect_length(cs$args[[22]], 0)
  r <- tc_run("RunTimecourseNoInt", cs$args)
  expect_equal(matrix(r$F, cs$m), matrix(tc_plain_F(cs$fit, cs$H1, cs$H0), cs$m, cs$B), tolerance = 1e-12)
})

test_that("design with intercept: each iteration is the EM-based F of the resampled data", {
  cs <- tc_int_case()
  r <- tc_run("RunTimecourseInt", cs$args)
  expect_identical(names(r), c("F", ""))
  Fm <- matrix(r$F, cs$m, cs$B)
  for (k in seq_len(cs$B)) {
    dat <- cs$fit + cs$res[, cs$v[k, ] + 1] + cs$alpha[, cs$v1[k, ] + 1]
    e1 <- tc_em_reference(dat, cs$H1, cs$d$nGrp, cs$d$idx, cs$eps)
    e0 <- tc_em_reference(dat, cs$H0, cs$d$nGrp, cs$d$idx, cs$eps)
    expected <- rowSums((dat - e0$fit - e0$alpha)^2) / rowSums((dat - e1$fit - e1$alpha)^2) - 1
    expect_equal(Fm[, k], expected, tolerance = 1e-10)
  }
  expect_identical(tc_run("RunTimecourseInt", cs$args, background = TRUE), r)
})

test_that("no bootstrap iterations give an empty F", {
  for (cs in list(list("RunTimecourseIndep", tc_indep_case(B = 0L)),
                  list("RunTimecourseNoInt", tc_noint_case(B = 0L)),
                  list("RunTimecourseInt", tc_int_case(B = 0L)))) {
    r <- tc_run(cs[[1]], cs[[2]]$args)
    expect_identical(r$F, double(0))
    expect_identical(tc_run(cs[[1]], cs[[2]]$args, background = TRUE)$F, double(0))
  }
})

test_that("a finished job shows the progress figures of its design", {
  # Independent: maximum (n + 1)^2 B m, the work done B m (n^2 + n + 1).
  cs <- tc_indep_case(m = 1000, tpts = c(0, 1), B = 2L)
  id <- .Call("RunTimecourseIndep", cs$args, TRUE, PACKAGE = "lumo")
  p <- wait_job(id)
  .Call("DeleteThread", id, PACKAGE = "lumo")
  expect_identical(c(p$max, p$current, p$msgid), c(18000, 14000, 8))
  # With intercept: two per iteration, ending at the maximum 2B.
  cs <- tc_int_case(B = 3L)
  id <- .Call("RunTimecourseInt", cs$args, TRUE, PACKAGE = "lumo")
  p <- wait_job(id)
  .Call("DeleteThread", id, PACKAGE = "lumo")
  expect_identical(c(p$max, p$current, p$done), c(6, 6, 1))
})

test_that("a running time-course job can be stopped and deleted", {
  cs <- tc_indep_case(m = 1000, tpts = rep(0:9, 6), B = 3000L)
  id <- .Call("RunTimecourseIndep", cs$args, TRUE, PACKAGE = "lumo")
  expect_error(.Call("GetTimecourseResult", id, PACKAGE = "lumo"), "Thread is still running", fixed = TRUE)
  Sys.sleep(0.1)
  p <- .Call("GetProgressValues", id, PACKAGE = "lumo")
  expect_identical(p$done, 0L)
  expect_gt(p$current, 0)
  expect_identical(.Call("StopThread", id, PACKAGE = "lumo"), 0L)
  p <- wait_job(id)
  expect_identical(p$canceled, 1L)
  expect_error(.Call("GetTimecourseResult", id, PACKAGE = "lumo"), "Thread was canceled", fixed = TRUE)
  .Call("DeleteThread", id, PACKAGE = "lumo")
  expect_error(.Call("GetTimecourseResult", id, PACKAGE = "lumo"),
               sprintf("Could not get thread information for thread id = %d", id), fixed = TRUE)

  # Deleting a job that is still running stops it as well.
  id <- .Call("RunTimecourseIndep", cs$args, TRUE, PACKAGE = "lumo")
  .Call("DeleteThread", id, PACKAGE = "lumo")
  expect_error(.Call("GetProgressValues", id, PACKAGE = "lumo"), "Could not get information")
})

test_that("a stop reaches a job inside a long EM fit", {
  # Null data with intercepts resampled over columns: thousands of EM
  # iterations per fit at this threshold.
  cs <- tc_int_case(m = 2000, B = 20L, eps = 1e-5)
  id <- .Call("RunTimecourseInt", cs$args, TRUE, PACKAGE = "lumo")
  Sys.sleep(0.3)
  expect_identical(.Call("GetProgressValues", id, PACKAGE = "lumo")$done, 0L)
  expect_identical(.Call("StopThread", id, PACKAGE = "lumo"), 0L)
  # Deleting waits for the worker, which must leave the fit promptly.
  secs <- system.time(.Call("DeleteThread", id, PACKAGE = "lumo"))[["elapsed"]]
  expect_lt(secs, 5)
})

test_that("a stop lands at once whatever the number of bootstrap iterations", {
  # No genes and no arrays, the largest B: nothing to compute, however many
  # iterations are asked for.
  B <- .Machine$integer.max
  indep <- list(B, 0L, 0L, 0L, 0L, 0L, 0L, 0L, 0L, 0L, double(0), integer(0), double(0), double(0), 0L, double(0))
  long <- rep(list(0L), 27)
  long[c(1, 5, 6, 23)] <- list(B, 0L, 0L, 0L)
  long[c(10, 12, 19, 24, 25, 26, 27)] <- list(integer(0))
  long[c(11, 13, 14, 17, 18, 20, 22)] <- list(double(0))
  long[[21]] <- 1e-3
  for (r in list(list("RunTimecourseIndep", indep), list("RunTimecourseNoInt", long),
                 list("RunTimecourseInt", long))) {
    secs <- system.time({
      id <- .Call(r[[1]], r[[2]], TRUE, PACKAGE = "lumo")
      .Call("StopThread", id, PACKAGE = "lumo")
      .Call("DeleteThread", id, PACKAGE = "lumo")
    })[["elapsed"]]
    expect_lt(secs, 2, label = r[[1]])
  }
})

test_that("an NA mode starts a background job and the result can be fetched twice", {
  cs <- tc_indep_case(B = 2L)
  id <- .Call("RunTimecourseIndep", cs$args, NA, PACKAGE = "lumo")
  expect_type(id, "integer")
  expect_length(id, 1)
  wait_job(id)
  r1 <- .Call("GetTimecourseResult", id, PACKAGE = "lumo")
  expect_identical(.Call("GetTimecourseResult", as.double(id), PACKAGE = "lumo"), r1)
  .Call("DeleteThread", id, PACKAGE = "lumo")
  expect_identical(r1, .Call("RunTimecourseIndep", cs$args, FALSE, PACKAGE = "lumo"))
})

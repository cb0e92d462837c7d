# The time-course entry points (RunTimecourseIndep/NoInt/Int, GetTimecourseResult,
# EMFitR): result layout, run modes, job control and refused argument lists.

tc_call <- function(entry, args, mode = FALSE) .Call(entry, args, mode, PACKAGE = "lumo")
tc_job <- function(entry, args, mode = TRUE) {
  id <- tc_call(entry, args, mode)
  on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
  wait_job(id)
  .Call("GetTimecourseResult", id, PACKAGE = "lumo")
}
put <- function(args, pos, value) { args[pos] <- list(value); args }
refused <- function(entry, args, msg)
  for (mode in c(FALSE, TRUE)) expect_error(tc_call(entry, args, mode), msg, fixed = TRUE, info = paste(entry, msg))
designs <- list(RunTimecourseIndep = tc_indep_args(), RunTimecourseNoInt = tc_long_args(FALSE),
                RunTimecourseInt = tc_long_args(TRUE))

test_that("every design returns F (genes x iterations) alike in sync, background and NA mode", {
  runs <- c(designs, list(RunTimecourseNoInt = tc_long_args(FALSE, N = 6, T = 1)),   # N = n: empty res, v, inc
            list(RunTimecourseIndep = tc_indep_args(B = 0L), RunTimecourseNoInt = tc_long_args(FALSE, B = 0L),
                 RunTimecourseInt = tc_long_args(TRUE, B = 0L)))                              # B = 0
  for (i in seq_along(runs)) {
    entry <- names(runs)[i]; a <- runs[[i]]
    r <- tc_call(entry, a)
    expect_identical(names(r), c("F", ""))
    expect_null(r[[2]])
    expect_length(r$F, a[[5]] * a[[1]])
    expect_true(all(is.finite(r$F)), info = entry)
    expect_identical(tc_job(entry, a), r)
    expect_identical(tc_job(entry, a, NA), r)
  }
  id <- tc_call("RunTimecourseIndep", designs[[1]], TRUE)
  wait_job(id)
  expect_identical(.Call("GetTimecourseResult", as.double(id), PACKAGE = "lumo"),
                   .Call("GetTimecourseResult", id, PACKAGE = "lumo"))
  .Call("DeleteThread", id, PACKAGE = "lumo")
})

test_that("a finished job shows the progress figures of its design", {
  figures <- function(entry, a) {
    id <- tc_call(entry, a, TRUE)
    on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
    p <- wait_job(id)
    c(p$max, p$current, p$msgid, p$done)
  }
  # Independent: maximum (n + 1)^2 B m, work done B m (n^2 + n + 1); with intercept: two per iteration.
  expect_identical(figures("RunTimecourseIndep", tc_indep_args(m = 1000, tpts = c(0, 1), B = 2L)), c(18000, 14000, 8, 1))
  expect_identical(figures("RunTimecourseInt", tc_long_args(TRUE, B = 3L)), c(6, 6, 8, 1))
})

test_that("a running job can be stopped, and deleted while running", {
  a <- tc_indep_args(m = 1000, tpts = rep(0:9, 6), B = 3000L)
  id <- tc_call("RunTimecourseIndep", a, TRUE)
  expect_error(.Call("GetTimecourseResult", id, PACKAGE = "lumo"), "Thread is still running", fixed = TRUE)
  Sys.sleep(0.1)
  p <- .Call("GetProgressValues", id, PACKAGE = "lumo")
  expect_true(p$done == 0L && p$current > 0)
  expect_identical(.Call("StopThread", id, PACKAGE = "lumo"), 0L)
  expect_identical(wait_job(id)$canceled, 1L)
  expect_error(.Call("GetTimecourseResult", id, PACKAGE = "lumo"), "Thread was canceled", fixed = TRUE)
  .Call("DeleteThread", id, PACKAGE = "lumo")
  expect_error(.Call("GetTimecourseResult", id, PACKAGE = "lumo"),
               sprintf("Could not get thread information for thread id = %d", id), fixed = TRUE)
  id <- tc_call("RunTimecourseIndep", a, TRUE)
  .Call("DeleteThread", id, PACKAGE = "lumo")
  expect_error(.Call("GetProgressValues", id, PACKAGE = "lumo"), "Could not get information")
})

test_that("a stop lands at once whatever the number of bootstrap iterations", {
  # No genes and no arrays at the largest B: each design must still stop at once.
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
      id <- tc_call(r[[1]], r[[2]], TRUE)
      .Call("StopThread", id, PACKAGE = "lumo")
      .Call("DeleteThread", id, PACKAGE = "lumo")
    })[["elapsed"]]
    expect_lt(secs, 2, label = r[[1]])
  }
})

test_that("short lists, wrong types and bad sizes are refused in both modes for every design", {
  for (entry in names(designs)) {
    a <- designs[[entry]]
    refused(entry, a[-length(a)], sprintf("length(arglist)>=%d", length(a)))
    refused(entry, list(), sprintf("length(arglist)>=%d", length(a)))
    refused(entry, 1:30, "must be a list")
    refused(entry, NULL, "must be a list")
    refused(entry, put(a, 11, as.integer(a[[11]])), "arglist[[11]] ('fit")
    refused(entry, put(a, 12, as.double(a[[12]])), "arglist[[12]] ('v') must be an integer vector")
    refused(entry, put(a, 13, NULL), "arglist[[13]] ('H0') must be a double vector")
    refused(entry, put(a, 14, "x"), "arglist[[14]] ('H1') must be a double vector")
    for (pos in c(1, 5, 6)) {
      refused(entry, put(a, pos, NA_integer_), sprintf("arglist[[%d]]", pos))
      refused(entry, put(a, pos, -1L), "non-negative size")
      refused(entry, put(a, pos, integer(0)), "is empty")
      refused(entry, put(a, pos, as.double(a[[pos]])), "must be an integer vector")
    }
  }
})

test_that("each design names the vector of the wrong length, the index out of range or the bad group", {
  ia <- designs$RunTimecourseIndep; na <- designs$RunTimecourseNoInt; wa <- designs$RunTimecourseInt
  short <- function(a, pos) put(a, pos, a[[pos]][-1])
  refused("RunTimecourseIndep", short(ia, 12), "length of 'v' is 47; expected 48")
  refused("RunTimecourseIndep", put(ia, 11, c(ia[[11]], 0)), "length of 'fit0' is 361; expected 360")
  refused("RunTimecourseIndep", put(ia, 16, double(0)), "length of 'res' is 0; expected 360")
  refused("RunTimecourseIndep", put(ia, 13, 1), "length of 'H0' is 1")
  refused("RunTimecourseIndep", put(ia, 14, 1), "length of 'H1' is 1")
  refused("RunTimecourseIndep", put(put(ia, 14, 1), 16, 1), "length of 'res'")   # the first broken rule
  for (v in list(12L, -1L, NA_integer_))
    refused("RunTimecourseIndep", put(ia, 12, replace(ia[[12]], 5, v)), "arglist[[12]] ('v'): entry 5 is out of range")
  refused("RunTimecourseIndep", put(put(ia, 5, .Machine$integer.max), 6, 3L), "at most 2147483647 are supported")
  refused("RunTimecourseNoInt", put(na, 23, 13L), "may not exceed n")
  refused("RunTimecourseNoInt", put(na, 27, na[[27]] + 0:2), "('nGrp') adds up to")
  refused("RunTimecourseNoInt", put(na, 27, c(NA, 4L, 4L)), "non-negative count")
  refused("RunTimecourseNoInt", put(na, 27, c(9L, -1L, 4L)), "non-negative count")
  lens <- c(fit = 11, res = 18, v = 12, rmv = 19, inc = 25, H1 = 14, H0 = 13, wsq = 22, ind = 10, idm_ = 26, nGrp = 27)
  for (nm in names(lens)) {   # in the order the lengths are checked
    len <- length(na[[lens[[nm]]]])
    refused("RunTimecourseNoInt", short(na, lens[[nm]]), sprintf("length of '%s' is %d; expected %d", nm, len - 1, len))
  }
  for (r in list(list(12, "v", 9L), list(19, "rmv", 12L), list(25, "inc", 12L), list(26, "idx", 12L)))
    refused("RunTimecourseNoInt", put(na, r[[1]], replace(na[[r[[1]]]], 1, r[[3]])),
            sprintf("arglist[[%d]] ('%s'): entry 1 is out of range", r[[1]], r[[2]]))
  refused("RunTimecourseInt", short(wa, 27), "length of 'nGrp' is 2; expected 3")
  refused("RunTimecourseInt", put(wa, 27, c(4L, 4L, 3L)), "('nGrp') adds up to 11; expected n = 12")
  refused("RunTimecourseInt", put(wa, 23, 13L), "may not exceed n")
  refused("RunTimecourseInt", put(wa, 21, NA_real_), "arglist[[21]] ('eps') must be a number")
  refused("RunTimecourseInt", put(wa, 21, 1L), "arglist[[21]] ('eps') must be a double vector")
  for (eps in c(0, -1, Inf, -Inf)) refused("RunTimecourseInt", put(wa, 21, eps), "('eps') must be a positive finite number")
  refused("RunTimecourseInt", put(wa, 10, 1.5), "arglist[[10]] ('ind') must be an integer vector")
  refused("RunTimecourseInt", put(wa, 1, .Machine$integer.max), "at most 2147483647 are supported")
  lens <- c(fit = 11, res = 17, alpha = 20, v = 12, v1 = 24, H0 = 13, H1 = 14, idx = 26, ind = 10)
  for (nm in names(lens))
    refused("RunTimecourseInt", short(wa, lens[[nm]]),
            sprintf("arglist[[%d]] ('%s') has length %d", lens[[nm]], nm, length(wa[[lens[[nm]]]]) - 1))
  for (nm in c("v", "v1", "idx"))
    refused("RunTimecourseInt", put(wa, lens[[nm]], replace(wa[[lens[[nm]]]], 2, 12L)),
            sprintf("arglist[[%d]] ('%s'): entry 2 is out of range", lens[[nm]], nm))
})

test_that("no arrays, no genes and vectors longer than needed are accepted", {
  a <- put(put(put(designs[[1]], 6, 0L), c(11, 13, 14, 16), double(0)), 12, integer(0))
  expect_length(tc_call("RunTimecourseIndep", a)$F, 30 * 4)
  a <- put(put(designs[[1]], 5, 0L), c(11, 16), double(0))
  expect_identical(tc_call("RunTimecourseIndep", a)$F, double(0))
  wa <- designs$RunTimecourseInt
  expect_identical(tc_call("RunTimecourseInt", put(wa, 11, c(wa[[11]], 1, 2))), tc_call("RunTimecourseInt", wa))
})

emfit <- function(dat, H, ind, idx, nGrp, eps, m = nrow(dat), n = ncol(dat), N = length(nGrp))
  .C("EMFitR", as.double(dat), as.double(H), as.integer(ind), as.integer(idx), as.double(eps),
     fit = double(max(0, m * n)), alpha = double(max(0, m * n)), as.integer(m), as.integer(n), as.integer(N),
     as.integer(nGrp), iter = 0L, PACKAGE = "lumo")

test_that("EMFitR refuses sizes, designs and storage types it cannot use", {
  ind <- rep(1:3, each = 4); dat <- matrix(rnorm(48), 4)
  H <- tc_proj(cbind(1, seq_len(12)))
  em <- function(..., eps = 1e-3, idx = 0:11, nGrp = rep(4L, 3)) emfit(dat, H, ind, idx, nGrp, eps, ...)
  bad <- list(quote(em(m = -1L)), "EMFitR: m must be a non-negative size",
              quote(em(n = -2L)), "EMFitR: n must be a non-negative size",
              quote(em(N = 13L)), "EMFitR: N must lie in 0..n", quote(em(N = -1L)), "EMFitR: N must lie in 0..n",
              quote(em(nGrp = c(4L, 4L, 5L))), "nGrp must sum to n = 12, not 13",
              quote(em(nGrp = c(8L, 8L, -4L))), "nGrp[3] must be a non-negative count",
              quote(em(idx = replace(0:11, 4, 12L))), "idx[4] must be a column 0..11, not 12",
              quote(em(idx = replace(0:11, 4, -1L))), "idx[4] must be a column 0..11, not -1",
              # A threshold that is not positive would run the fit to its iteration cap.
              quote(em(eps = 0)), "EMFitR: eps must be a positive finite number",
              quote(em(eps = -1)), "EMFitR: eps must be a positive finite number",
              quote(em(eps = -.Machine$double.xmin)), "EMFitR: eps must be a positive finite number",
              quote(.C("EMFitR", 1:4, double(4), 0L, 0:1, 1e-3, double(4), double(4), 2L, 2L, 1L, 2L, 0L,
                       PACKAGE = "lumo")), "wrong type for argument 1",
              quote(.C("EMFitR", double(4), double(4), 0L, 0:1, 1e-3, double(4), double(4), 2, 2L, 1L, 2L, 0L,
                       PACKAGE = "lumo")), "wrong type for argument 8")
  for (i in seq(1, length(bad), 2)) expect_error(eval(bad[[i]]), bad[[i + 1]], fixed = TRUE, info = bad[[i + 1]])
})

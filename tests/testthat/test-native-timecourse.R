# The time-course entry points (RunTimecourseIndep/NoInt/Int, GetTimecourseResult,
# EMFitR): result layout, run modes, job control and refused argument lists.

tc_call <- function(entry, args, mode = FALSE) .Call(entry, args, mode, PACKAGE = "lumo")
tc_job <- function(entry, args, mode = TRUE) {
  id <- tc_call(entry, args, mode)
  on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
  wait_job(id)
  .Call("GetTimecourseResult", id, PACKAGE = "lumo")
}
refused <- function(entry, args, msg) {
  for (mode in c(FALSE, TRUE)) expect_error(tc_call(entry, args, mode), msg, fixed = TRUE, info = paste(entry, msg))
}
designs <- list(RunTimecourseIndep = tc_indep_args(), RunTimecourseNoInt = tc_long_args(FALSE),
                RunTimecourseInt = tc_long_args(TRUE), RunTimecourseInt = tc_long_args(TRUE, designs = TRUE))

test_that("every design returns F (genes x iterations) alike in sync, background and NA mode", {
  runs <- c(designs, list(RunTimecourseNoInt = tc_long_args(FALSE, N = 6, n_times = 1)),   # N = n: empty res, v, inc
            list(RunTimecourseIndep = tc_indep_args(B = 0L), RunTimecourseNoInt = tc_long_args(FALSE, B = 0L),
                 RunTimecourseInt = tc_long_args(TRUE, B = 0L),                               # no iterations
                 RunTimecourseInt = tc_long_args(TRUE, m = 0, designs = TRUE),                # no genes
                 RunTimecourseInt = tc_long_args(TRUE, N = 6, n_times = 1, designs = TRUE)))  # one array each
  for (i in seq_along(runs)) {
    entry <- names(runs)[i]; a <- runs[[i]]
    r <- tc_call(entry, a)
    expect_identical(names(r), c("F", ""))
    expect_identical(unname(r[names(r) == ""]), list(NULL))
    expect_length(r$F, a$m * a$B)
    expect_true(all(is.finite(r$F)), info = entry)
    expect_identical(tc_job(entry, a), r)
    expect_identical(tc_job(entry, a, NA), r)
    # Asked for, the residual sums of squares of the alternative fits come beside the same F.
    r2 <- tc_job(entry, native_update(c(RunTimecourseIndep = "indep", RunTimecourseNoInt = "noint",
                                        RunTimecourseInt = "int")[[entry]], a, rss = 1L))
    expect_identical(names(r2), c("F", "rss1"))
    expect_identical(r2$F, r$F)
    expect_length(r2$rss1, length(r$F))
    expect_true(all(r2$rss1 > 0), info = entry)
  }
  id <- tc_call("RunTimecourseIndep", designs$RunTimecourseIndep, TRUE)
  wait_job(id)
  expect_identical(.Call("GetTimecourseResult", as.double(id), PACKAGE = "lumo"),
                   .Call("GetTimecourseResult", id, PACKAGE = "lumo"))
  .Call("DeleteThread", id, PACKAGE = "lumo")
})

test_that("a finished job reports the time-course phase", {
  id <- tc_call("RunTimecourseInt", tc_long_args(TRUE, B = 3L), TRUE)
  on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
  expect_identical(lumo:::native_phases()[wait_job(id)$msgid + 1L], "time-course statistics")
})

test_that("a running job can be stopped, and is gone once deleted", {
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
})

test_that("a stop lands at once whatever the number of bootstrap iterations", {
  # No genes and no arrays at the largest B: each design must still stop at once.
  B <- .Machine$integer.max
  indep <- native_args("indep", B = B, m = 0L, n = 0L, fit0 = double(0), v = integer(0), H0 = double(0),
                       H1 = double(0), res = double(0))
  empty <- list(B = B, m = 0L, n = 0L, N = 0L, ind = integer(0), v = integer(0), idx = integer(0),
                nGrp = integer(0), fit = double(0), H0 = double(0), H1 = double(0), res = double(0))
  noint <- do.call(native_args, c("noint", empty, list(rmv = integer(0), inc = integer(0), wsq = double(0))))
  int <- do.call(native_args, c("int", empty, list(v1 = integer(0), alpha = double(0), eps = 1e-3)))
  for (r in list(list(entry = "RunTimecourseIndep", args = indep), list(entry = "RunTimecourseNoInt", args = noint),
                 list(entry = "RunTimecourseInt", args = int))) {
    secs <- system.time({
      id <- tc_call(r$entry, r$args, TRUE)
      .Call("StopThread", id, PACKAGE = "lumo")
      .Call("DeleteThread", id, PACKAGE = "lumo")
    })[["elapsed"]]
    expect_lt(secs, 2, label = r$entry)
  }
})

test_that("short lists, wrong types and bad sizes are refused in both modes for every design", {
  for (entry in names(designs)) {
    a <- designs[[entry]]
    refused(entry, a[-length(a)], sprintf("length(arglist)>=%d", length(a)))
    refused(entry, list(), sprintf("length(arglist)>=%d", length(a)))
    refused(entry, 1:30, "must be a list")
    refused(entry, NULL, "must be a list")
    # Named, a list must carry the names of its slots in their places; unnamed, it is read by position.
    swapped <- setNames(a, replace(names(a), match(c("H0", "H1"), names(a)), c("H1", "H0")))
    refused(entry, swapped, sprintf("arglist[[13]] is named 'H1'; %s expects 'H0' there", entry))
    expect_identical(tc_call(entry, unname(a)), tc_call(entry, a))
    fit <- if (entry == "RunTimecourseIndep") "fit0" else "fit"
    refused(entry, put(a, fit, as.integer(a[[fit]])), "arglist[[11]] ('fit")
    refused(entry, put(a, "v", as.double(a$v)), "arglist[[12]] ('v') must be an integer vector")
    refused(entry, put(a, "H0", NULL), "arglist[[13]] ('H0') must be a double vector")
    refused(entry, put(a, "H1", "x"), "arglist[[14]] ('H1') must be a double vector")
    for (slot in c("B", "m", "n")) {
      refused(entry, put(a, slot, NA_integer_), sprintf("arglist[[%d]]", match(slot, names(a))))
      refused(entry, put(a, slot, -1L), "non-negative size")
      refused(entry, put(a, slot, integer(0)), "is empty")
      refused(entry, put(a, slot, as.double(a[[slot]])), "must be an integer vector")
    }
  }
})

test_that("the builder refuses unknown, missing and unnamed slots", {
  named_slots <- function(a) a[names(a) != ""]
  for (cs in list(refusal(quote(native_args("odp", B = 1L)), "'odp' needs slot 'xx', 'xk'"),
                  refusal(quote(do.call(native_args, c("indep", named_slots(tc_indep_args()), sigma = 1))),
                          "'indep' has no slot 'sigma'"),
                  refusal(quote(native_args("int", B = 1L, B = 2L)), "slot 'B' is given twice"),
                  refusal(quote(native_args("noint", 1L)), "every value needs its slot name"),
                  refusal(quote(native_args("xyz")), "unknown analysis 'xyz'")))
    expect_error(eval(cs$args), cs$msg, fixed = TRUE, info = cs$msg)
})

test_that("each design names the vector of the wrong length, the index out of range or the bad group", {
  ia <- designs$RunTimecourseIndep; na <- designs$RunTimecourseNoInt; wa <- designs$RunTimecourseInt
  short <- function(a, slot) put(a, slot, a[[slot]][-1])
  at <- function(a, slot) match(slot, names(a))
  refused("RunTimecourseIndep", short(ia, "v"), "length of 'v' is 47; expected 48")
  refused("RunTimecourseIndep", put(ia, "fit0", c(ia$fit0, 0)), "length of 'fit0' is 361; expected 360")
  refused("RunTimecourseIndep", put(ia, "res", double(0)), "length of 'res' is 0; expected 360")
  refused("RunTimecourseIndep", put(ia, "H0", 1), "length of 'H0' is 1")
  refused("RunTimecourseIndep", put(ia, "H1", 1), "length of 'H1' is 1")
  refused("RunTimecourseIndep", put(put(ia, "H1", 1), "res", 1), "length of 'res'")   # the first broken rule
  for (v in list(12L, -1L, NA_integer_))
    refused("RunTimecourseIndep", put(ia, "v", replace(ia$v, 5, v)), "arglist[[12]] ('v'): entry 5 is out of range")
  refused("RunTimecourseIndep", put(put(ia, "m", .Machine$integer.max), "n", 3L), "at most 2147483647 are supported")
  refused("RunTimecourseNoInt", put(na, "N", 13L), "may not exceed n")
  refused("RunTimecourseNoInt", put(na, "nGrp", na$nGrp + 0:2), "('nGrp') adds up to")
  refused("RunTimecourseNoInt", put(na, "nGrp", c(NA, 4L, 4L)), "non-negative count")
  refused("RunTimecourseNoInt", put(na, "nGrp", c(9L, -1L, 4L)), "entry 2 must be a non-negative count")
  # In the order the lengths are checked, by the name each rule reports.
  lens <- c(fit = "fit", res = "res", v = "v", rmv = "rmv", inc = "inc", H1 = "H1", H0 = "H0", wsq = "wsq",
            ind = "ind", idm_ = "idx", nGrp = "nGrp")
  for (nm in names(lens)) {
    len <- length(na[[lens[[nm]]]])
    refused("RunTimecourseNoInt", short(na, lens[[nm]]), sprintf("length of '%s' is %d; expected %d", nm, len - 1, len))
  }
  for (r in list(list(slot = "v", bad = 9L), list(slot = "rmv", bad = 12L), list(slot = "inc", bad = 12L),
                 list(slot = "idx", bad = 12L)))
    refused("RunTimecourseNoInt", put(na, r$slot, replace(na[[r$slot]], 1, r$bad)),
            sprintf("arglist[[%d]] ('%s'): entry 1 is out of range", at(na, r$slot), r$slot))
  refused("RunTimecourseInt", short(wa, "nGrp"), "length of 'nGrp' is 2; expected 3")
  refused("RunTimecourseInt", put(wa, "nGrp", c(4L, 4L, 3L)), "('nGrp') adds up to 11; expected n = 12")
  refused("RunTimecourseInt", put(wa, "N", 13L), "may not exceed n")
  refused("RunTimecourseInt", put(wa, "eps", NA_real_), "arglist[[21]] ('eps') must be a number")
  refused("RunTimecourseInt", put(wa, "eps", 1L), "arglist[[21]] ('eps') must be a double vector")
  for (eps in c(0, -1, Inf, -Inf))
    refused("RunTimecourseInt", put(wa, "eps", eps), "('eps') must be a positive finite number")
  refused("RunTimecourseInt", put(wa, "ind", 1.5), "arglist[[10]] ('ind') must be an integer vector")
  refused("RunTimecourseInt", put(wa, "B", .Machine$integer.max), "at most 2147483647 are supported")
  for (nm in c("fit", "res", "alpha", "v", "v1", "H0", "H1", "idx", "ind"))
    refused("RunTimecourseInt", short(wa, nm),
            sprintf("arglist[[%d]] ('%s') has length %d", at(wa, nm), nm, length(wa[[nm]]) - 1))
  for (nm in c("v", "v1", "idx"))
    refused("RunTimecourseInt", put(wa, nm, replace(wa[[nm]], 2, 12L)),
            sprintf("arglist[[%d]] ('%s'): entry 2 is out of range", at(wa, nm), nm))
  # The designs of the per-gene fits: both, whole columns, full rank, every array named once.
  da <- tc_long_args(TRUE, designs = TRUE)
  refused("RunTimecourseInt", da[-30], "length(arglist)>=30 is required; arglist has 29 elements")
  refused("RunTimecourseInt", put(da, "X1", 1:24), "arglist[[29]] ('X1') must be a double vector")
  refused("RunTimecourseInt", put(da, "X0", rep(1, 11)), "arglist[[30]] ('X0') has length 11; it must hold 1 to")
  refused("RunTimecourseInt", put(da, "X1", rep(1, 144)), "arglist[[29]] ('X1') has length 144")
  refused("RunTimecourseInt", put(da, "X1", rep(1, 24)), "arglist[[29]] ('X1') does not have full column rank")
  refused("RunTimecourseInt", put(da, "idx", c(0L, 0:10)), "arglist[[26]] ('idx') names array 0 twice")
})

test_that("no arrays, no genes and vectors longer than needed are accepted", {
  ia <- designs$RunTimecourseIndep
  a <- put(put(put(ia, "n", 0L), c("fit0", "H0", "H1", "res"), double(0)), "v", integer(0))
  expect_length(tc_call("RunTimecourseIndep", a)$F, 30 * 4)
  a <- put(put(ia, "m", 0L), c("fit0", "res"), double(0))
  expect_identical(tc_call("RunTimecourseIndep", a)$F, double(0))
  wa <- designs$RunTimecourseInt
  expect_identical(tc_call("RunTimecourseInt", put(wa, "fit", c(wa$fit, 1, 2))), tc_call("RunTimecourseInt", wa))
})

emfit <- function(dat, H, ind, idx, nGrp, eps, m = nrow(dat), n = ncol(dat), N = length(nGrp)) {
  .C("EMFitR", as.double(dat), as.double(H), as.integer(ind), as.integer(idx), as.double(eps),
     fit = double(max(0, m * n)), alpha = double(max(0, m * n)), as.integer(m), as.integer(n), as.integer(N),
     as.integer(nGrp), iter = 0L, PACKAGE = "lumo")
}

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

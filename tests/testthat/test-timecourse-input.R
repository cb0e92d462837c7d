# Time-course argument lists the jobs cannot use: each is refused with an R
# error naming the element, before any job exists.

expect_refused <- function(entry, args, pattern, fixed = TRUE) {
  for (mode in c(FALSE, TRUE))
    expect_error(.Call(entry, args, mode, PACKAGE = "lumo"), pattern, fixed = fixed)
}

with_elt <- function(args, pos, value) {
  args[pos] <- list(value)
  args
}

test_that("the independent design names a vector of the wrong length", {
  cs <- tc_indep_case()
  nB <- cs$n * cs$B
  expect_refused("RunTimecourseIndep", with_elt(cs$args, 12, cs$args[[12]][-1]),
                 sprintf("length of 'v' is %d; expected %d", nB - 1, nB))
  mn <- cs$m * cs$n
  expect_refused("RunTimecourseIndep", with_elt(cs$args, 11, c(cs$args[[11]], 0)),
                 sprintf("length of 'fit0' is %d; expected %d", mn + 1, mn))
  expect_refused("RunTimecourseIndep", with_elt(cs$args, 16, double(0)),
                 sprintf("length of 'res' is 0; expected %d", mn))
  expect_refused("RunTimecourseIndep", with_elt(cs$args, 13, 1), "length of 'H0' is 1")
  expect_refused("RunTimecourseIndep", with_elt(cs$args, 14, 1), "length of 'H1' is 1")
  # The first broken rule is the one reported.
  bad <- with_elt(with_elt(cs$args, 14, 1), 16, 1)
  expect_refused("RunTimecourseIndep", bad, "length of 'res'")
})

test_that("short lists, wrong types and bad sizes are refused for every design", {
  designs <- list(RunTimecourseIndep = tc_indep_case()$args,
                  RunTimecourseNoInt = tc_noint_case()$args,
                  RunTimecourseInt = tc_int_case()$args)
  for (entry in names(designs)) {
    args <- designs[[entry]]
    min <- length(args)
    expect_refused(entry, args[-min], sprintf("length(arglist)>=%d", min))
    expect_refused(entry, list(), sprintf("length(arglist)>=%d", min))
    expect_refused(entry, 1:30, "must be a list")
    expect_refused(entry, NULL, "must be a list")
    # Sizes: NA, negative, empty, double instead of integer.
    for (pos in c(1, 5, 6)) {
      expect_refused(entry, with_elt(args, pos, NA_integer_), sprintf("arglist[[%d]]", pos))
      expect_refused(entry, with_elt(args, pos, -1L), "non-negative size")
      expect_refused(entry, with_elt(args, pos, integer(0)), "is empty")
      expect_refused(entry, with_elt(args, pos, as.double(args[[pos]])), "must be an integer vector")
    }
    # Arrays read as double must not be integer, and the reverse.
    expect_refused(entry, with_elt(args, 11, as.integer(args[[11]])), "arglist[[11]] ('fit")
    expect_refused(entry, with_elt(args, 12, as.double(args[[12]])), "arglist[[12]] ('v') must be an integer vector")
    expect_refused(entry, with_elt(args, 13, NULL), "arglist[[13]] ('H0') must be a double vector")
    expect_refused(entry, with_elt(args, 14, "x"), "arglist[[14]] ('H1') must be a double vector")
  }
})

test_that("column maps outside their range are refused", {
  cs <- tc_indep_case()
  for (bad in list(cs$n, -1L, NA_integer_)) {
    v <- cs$args[[12]]; v[5] <- bad
    expect_refused("RunTimecourseIndep", with_elt(cs$args, 12, v), "arglist[[12]] ('v'): entry 5 is out of range")
  }
  # n = 0 leaves no column to pick; no columns to map is fine.
  a <- cs$args; a[[6]] <- 0L; a[[11]] <- a[[16]] <- a[[13]] <- a[[14]] <- double(0); a[[12]] <- integer(0)
  expect_length(.Call("RunTimecourseIndep", a, FALSE, PACKAGE = "lumo")$F, cs$m * cs$B)
  # m = 0 genes: an empty result.
  a <- cs$args; a[[5]] <- 0L; a[[11]] <- a[[16]] <- double(0)
  expect_identical(.Call("RunTimecourseIndep", a, FALSE, PACKAGE = "lumo")$F, double(0))
})

test_that("the design without intercept checks its lengths in order, its indices and its groups", {
  cs <- tc_noint_case()
  n <- cs$n; N <- cs$N; nr <- n - N
  rules <- list(list(11, "fit"), list(18, "res"), list(12, "v"), list(19, "rmv"), list(25, "inc"),
                list(14, "H1"), list(13, "H0"), list(22, "wsq"), list(10, "ind"), list(26, "idm_"),
                list(27, "nGrp"))
  for (r in rules) {
    x <- cs$args[[r[[1]]]]
    expect_refused("RunTimecourseNoInt", with_elt(cs$args, r[[1]], x[-1]),
                   sprintf("length of '%s' is %d; expected %d", r[[2]], length(x) - 1, length(x)))
  }
  expect_refused("RunTimecourseNoInt", with_elt(cs$args, 23, as.integer(n + 1)), "may not exceed n")
  ranges <- list(list(12, "v", nr), list(19, "rmv", n), list(25, "inc", n), list(26, "idx", n))
  for (r in ranges) {
    x <- cs$args[[r[[1]]]]; x[1] <- as.integer(r[[3]])
    expect_refused("RunTimecourseNoInt", with_elt(cs$args, r[[1]], x),
                   sprintf("arglist[[%d]] ('%s'): entry 1 is out of range", r[[1]], r[[2]]))
  }
  g <- cs$args[[27]]; g[1] <- g[1] + 1L
  expect_refused("RunTimecourseNoInt", with_elt(cs$args, 27, g), "('nGrp') adds up to")
  g <- cs$args[[27]]; g[1] <- NA_integer_
  expect_refused("RunTimecourseNoInt", with_elt(cs$args, 27, g), "non-negative count")
  g <- cs$args[[27]]; g[1:2] <- c(g[1] + g[2] + 1L, -1L)
  expect_refused("RunTimecourseNoInt", with_elt(cs$args, 27, g), "non-negative count")
})

test_that("the design with intercept checks every length and index its kernel reads", {
  cs <- tc_int_case()
  for (r in list(list(11, "fit"), list(17, "res"), list(20, "alpha"), list(12, "v"), list(24, "v1"),
                 list(13, "H0"), list(14, "H1"), list(26, "idx"), list(10, "ind"))) {
    x <- cs$args[[r[[1]]]]
    expect_refused("RunTimecourseInt", with_elt(cs$args, r[[1]], x[-1]),
                   sprintf("arglist[[%d]] ('%s') has length %d", r[[1]], r[[2]], length(x) - 1))
  }
  for (r in list(list(12, "v"), list(24, "v1"), list(26, "idx"))) {
    x <- cs$args[[r[[1]]]]; x[2] <- as.integer(cs$n)
    expect_refused("RunTimecourseInt", with_elt(cs$args, r[[1]], x),
                   sprintf("arglist[[%d]] ('%s'): entry 2 is out of range", r[[1]], r[[2]]))
  }
  expect_refused("RunTimecourseInt", with_elt(cs$args, 27, cs$args[[27]][-1]), "length of 'nGrp' is 2; expected 3")
  g <- cs$args[[27]]; g[3] <- g[3] - 1L
  expect_refused("RunTimecourseInt", with_elt(cs$args, 27, g), "('nGrp') adds up to 11; expected n = 12")
  expect_refused("RunTimecourseInt", with_elt(cs$args, 23, 13L), "may not exceed n")
  expect_refused("RunTimecourseInt", with_elt(cs$args, 21, NA_real_), "arglist[[21]] ('eps') must be a number")
  for (eps in c(0, -1, Inf, -Inf))
    expect_refused("RunTimecourseInt", with_elt(cs$args, 21, eps),
                   "arglist[[21]] ('eps') must be a positive finite number")
  expect_refused("RunTimecourseInt", with_elt(cs$args, 21, 1L), "arglist[[21]] ('eps') must be a double vector")
  expect_refused("RunTimecourseInt", with_elt(cs$args, 10, 1.5), "arglist[[10]] ('ind') must be an integer vector")
  # Longer vectors than the kernel reads are accepted.
  a <- with_elt(cs$args, 11, c(cs$args[[11]], 1, 2))
  expect_identical(.Call("RunTimecourseInt", a, FALSE, PACKAGE = "lumo"),
                   .Call("RunTimecourseInt", cs$args, FALSE, PACKAGE = "lumo"))
})

test_that("sizes whose products overflow R's integer are refused", {
  cs <- tc_indep_case()
  a <- cs$args; a[[5]] <- .Machine$integer.max; a[[6]] <- 3L
  expect_refused("RunTimecourseIndep", a, "at most 2147483647 are supported")
  cs <- tc_int_case()
  a <- cs$args; a[[1]] <- .Machine$integer.max
  expect_refused("RunTimecourseInt", a, "at most 2147483647 are supported")
})

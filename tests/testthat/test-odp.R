# The ODP analysis through R: results against a direct computation, the two
# modes, job control and every kind of bad argument list.

run_odp <- function(arglist, start = FALSE) .Call("RunODP", arglist, start, PACKAGE = "lumo")

test_that("observed and null statistics equal a direct computation from the data", {
  for (k in 1:2) {
    s <- odp_study(m = 50, m0 = 35, B = 4, k = k, seed = 10 + k)
    r <- run_odp(s$arglist)
    expect_named(r, c("lr", "lr0"))
    expect_length(r$lr, 50)
    expect_length(r$lr0, 35 * 4)
    expect_equal(r$lr, odp_direct(s$x, s$grp, s$mu, s$sigma, s$sigma0[s$nii + 1]), tolerance = 1e-12)
    expect_equal(r$lr0, odp_null_direct(s), tolerance = 1e-12)
  }
})

test_that("synchronous and background runs agree for any thread count and a finished job reports its whole maximum", {
  s <- odp_study(m = 700, B = 3)
  old <- .Call("SetThreadCount", 1L, PACKAGE = "lumo")
  on.exit(.Call("SetThreadCount", old, PACKAGE = "lumo"))
  sync <- run_odp(s$arglist)
  m <- 700; m0 <- 700; B <- 3
  max <- (1834 + 10 * m + 367 * m + 445 * m * m) + (1834 + 10 * m + 367 * m0 + 386 * m * m0) +
    B * ((1834 + 10 * m0 + 367 * m + 445 * m0 * m) + (1834 + 10 * m0 + 367 * m0 + 373 * m0 * m0))
  for (threads in c(1L, 3L)) {
    .Call("SetThreadCount", threads, PACKAGE = "lumo")
    expect_identical(run_odp(s$arglist), sync)
    id <- run_odp(s$arglist, TRUE)
    # The job keeps the count it was built with.
    .Call("SetThreadCount", 4L - threads, PACKAGE = "lumo")
    expect_type(id, "integer")
    expect_length(id, 1)
    p <- wait_job(id)
    expect_equal(p$done, 1L)
    expect_equal(p$canceled, 0L)
    expect_identical(p$current, p$max)
    expect_identical(p$max, max)
    bg <- .Call("GetODPResult", id, PACKAGE = "lumo")
    expect_identical(bg, sync)
    expect_identical(.Call("GetODPResult", id, PACKAGE = "lumo"), bg)
    expect_equal(.Call("DeleteThread", id, PACKAGE = "lumo"), 0L)
    expect_error(.Call("GetODPResult", id, PACKAGE = "lumo"), "Could not get thread information for thread id")
  }
})

test_that("NA and empty startThread start a job; B = 0 and m0 = 0 give an empty lr0", {
  s <- odp_study(m = 20, B = 2)
  for (mode in list(NA, logical(0))) {
    id <- run_odp(s$arglist, mode)
    expect_type(id, "integer")
    wait_job(id)
    expect_length(.Call("GetODPResult", id, PACKAGE = "lumo")$lr, 20)
    .Call("DeleteThread", id, PACKAGE = "lumo")
  }
  s0 <- odp_study(m = 20, B = 0)
  r <- run_odp(s0$arglist)
  expect_identical(r$lr0, double(0))
  expect_length(r$lr, 20)
  a <- odp_study(m = 20, B = 3)$arglist
  a[[24]] <- 0L; a[[18]] <- double(0); a[[20]] <- integer(0); a[[15]] <- double(0)
  r <- run_odp(a)
  expect_identical(r$lr0, double(0))
  expect_true(all(is.infinite(r$lr))) # no null genes: every denominator is 0
})

test_that("running, stopped and deleted jobs are reported as such, with every thread stopped", {
  old <- .Call("SetThreadCount", 2L, PACKAGE = "lumo")
  on.exit(.Call("SetThreadCount", old, PACKAGE = "lumo"))
  big <- odp_study(m = 4000, B = 40, n1 = 10, n2 = 10)$arglist
  id <- run_odp(big, TRUE)
  expect_error(.Call("GetODPResult", id, PACKAGE = "lumo"), "Thread is still running")
  expect_equal(.Call("StopThread", id, PACKAGE = "lumo"), 0L)
  p <- wait_job(id, timeout = 2)
  expect_equal(p$canceled, 1L)
  expect_error(.Call("GetODPResult", id, PACKAGE = "lumo"), "Thread was canceled")
  .Call("DeleteThread", id, PACKAGE = "lumo")

  id2 <- run_odp(big, TRUE)
  Sys.sleep(0.05)
  expect_equal(.Call("DeleteThread", id2, PACKAGE = "lumo"), 0L)
  expect_error(.Call("GetProgressValues", id2, PACKAGE = "lumo"), "Could not get information for thread id")
})

test_that("twenty jobs run side by side with distinct ids and equal results", {
  s <- odp_study(m = 60, B = 3)
  want <- run_odp(s$arglist)
  ids <- vapply(1:20, function(i) run_odp(s$arglist, TRUE), integer(1))
  expect_equal(length(unique(ids)), 20)
  for (id in ids) {
    wait_job(id)
    expect_identical(.Call("GetODPResult", id, PACKAGE = "lumo"), want)
    .Call("DeleteThread", id, PACKAGE = "lumo")
  }
})

test_that("bad argument lists are refused with an error naming the element", {
  good <- odp_study(m = 12, m0 = 8, B = 2)$arglist
  bad <- function(pos, value, pattern) {
    a <- good
    if (is.null(value)) a[pos] <- list(NULL) else a[[pos]] <- value
    expect_error(run_odp(a), pattern, fixed = TRUE)
    expect_error(run_odp(a, TRUE), pattern, fixed = TRUE)
  }
  expect_error(run_odp(good[1:23]), "length(arglist)>=24", fixed = TRUE)
  expect_error(run_odp(1:30), "length(arglist)>=24", fixed = TRUE)
  bad(8, as.integer(good[[8]]), "arglist[[8]] ('xx') must be a double vector")
  bad(16, as.double(good[[16]]), "arglist[[16]] ('ID') must be an integer vector")
  bad(21, 12, "arglist[[21]] ('m') must be an integer vector")
  bad(21, NA_integer_, "arglist[[21]] ('m') must be a size, not NA")
  bad(22, -1L, "arglist[[22]] ('n') must be a non-negative size")
  bad(1, integer(0), "arglist[[1]] ('B') must hold a size")
  bad(10, NULL, "arglist[[10]] ('mu') must be a double vector, not NULL")
  bad(8, good[[8]][-1], "m_xxlen == m_m")
  bad(9, good[[9]][-1], "m_xklen == m_m*m_k")
  bad(11, c(good[[11]], 1), "m_sigmalen == m_m")
  bad(16, good[[16]][-1], "m_idlen == m_n*m_k")
  bad(17, c(good[[17]], 1L), "m_ngrplen == m_k")
  bad(18, good[[18]][-1], "m_reslen == m_m0*m_n")
  bad(19, good[[19]][-1], "m_vvlen == m_B*m_n")
  bad(10, good[[10]][-1], "arglist[[10]] ('mu') has length 23; at least 24 needed")
  bad(15, good[[15]][-1], "arglist[[15]] ('sigma0BS')")
  bad(20, good[[20]][-1], "arglist[[20]] ('nii')")
  bad(20, replace(good[[20]], 3, 12L), "arglist[[20]] ('nii'): entry 3 is out of range 0..11")
  bad(20, replace(good[[20]], 1, -1L), "arglist[[20]] ('nii'): entry 1 is out of range")
  bad(20, replace(good[[20]], 2, NA), "arglist[[20]] ('nii'): entry 2 is out of range")
  bad(19, replace(good[[19]], 5, 9L), "arglist[[19]] ('vv'): entry 5 is out of range 0..8")
  a <- good; a[[12]] <- a[[12]][1:3]; a[[20]] <- c(0:2, 11L, 4:7)
  expect_error(run_odp(a), "arglist[[12]] ('sigma0') has length 3; at least 12 needed", fixed = TRUE)
  a <- good; a[[24]] <- 13L
  expect_error(run_odp(a), "arglist[[24]] ('m0') is 13; it cannot exceed", fixed = TRUE)
  a <- good; a[[1]] <- .Machine$integer.max; a[[24]] <- 12L
  expect_error(run_odp(a), "at most")
  # Nothing was registered by the refused calls, and the session goes on.
  ok <- run_odp(good)
  expect_length(ok$lr, 12)
})

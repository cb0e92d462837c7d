# The RunODP entry point: result layout, the three run modes, job control,
# the drawn null of elements 25 to 27 and every kind of bad argument list.

run_odp <- function(arglist, start = FALSE) .Call("RunODP", arglist, start, PACKAGE = "lumo")

test_that("sync and background runs give lr (m) and lr0 (m0 x B) alike for any thread count", {
  a <- odp_args(m = 300, m0 = 200, B = 3)
  old <- .Call("SetThreadCount", 1L, PACKAGE = "lumo")
  on.exit(.Call("SetThreadCount", old, PACKAGE = "lumo"))
  sync <- run_odp(a)
  expect_named(sync, c("lr", "lr0"))
  expect_length(sync$lr, 300)
  expect_length(sync$lr0, 600)
  for (threads in c(1L, 3L)) {
    .Call("SetThreadCount", threads, PACKAGE = "lumo")
    expect_identical(run_odp(a), sync)
    id <- run_odp(a, TRUE)
    .Call("SetThreadCount", 4L - threads, PACKAGE = "lumo")   # the job keeps the count it was built with
    expect_true(is.integer(id) && length(id) == 1)
    p <- wait_job(id)
    expect_identical(c(p$done, p$canceled), c(1L, 0L))
    expect_identical(p$current, p$max)
    expect_identical(.Call("GetODPResult", id, PACKAGE = "lumo"), sync)
    expect_identical(.Call("GetODPResult", id, PACKAGE = "lumo"), sync)
    expect_equal(.Call("DeleteThread", id, PACKAGE = "lumo"), 0L)
    expect_error(.Call("GetODPResult", id, PACKAGE = "lumo"), "Could not get thread information for thread id")
  }
})

test_that("NA and empty modes start jobs with distinct ids; B = 0 and m0 = 0 give an empty lr0", {
  a <- odp_args(m = 20, B = 2)
  ids <- vapply(list(NA, logical(0), TRUE, TRUE), function(mode) run_odp(a, mode), 0L)
  expect_length(unique(ids), 4)
  for (id in ids) {
    wait_job(id)
    expect_identical(.Call("GetODPResult", id, PACKAGE = "lumo"), run_odp(a))
    .Call("DeleteThread", id, PACKAGE = "lumo")
  }
  r <- run_odp(odp_args(m = 20, B = 0))
  expect_identical(r$lr0, double(0))
  expect_length(r$lr, 20)
  a[[24]] <- 0L; a[[18]] <- a[[15]] <- double(0); a[[20]] <- integer(0)
  r <- run_odp(a)
  expect_identical(r$lr0, double(0))
  expect_true(all(is.infinite(r$lr)))   # no null genes: every denominator is 0
})

test_that("running, stopped and deleted jobs are reported as such", {
  old <- .Call("SetThreadCount", 2L, PACKAGE = "lumo")
  on.exit(.Call("SetThreadCount", old, PACKAGE = "lumo"))
  big <- odp_args(m = 4000, B = 40, n1 = 10, n2 = 10)
  id <- run_odp(big, TRUE)
  expect_error(.Call("GetODPResult", id, PACKAGE = "lumo"), "Thread is still running")
  expect_equal(.Call("StopThread", id, PACKAGE = "lumo"), 0L)
  expect_equal(wait_job(id, timeout = 2)$canceled, 1L)
  expect_error(.Call("GetODPResult", id, PACKAGE = "lumo"), "Thread was canceled")
  .Call("DeleteThread", id, PACKAGE = "lumo")
  id <- run_odp(big, TRUE)
  Sys.sleep(0.05)
  expect_equal(.Call("DeleteThread", id, PACKAGE = "lumo"), 0L)   # deleting a running job stops it
  expect_error(.Call("GetProgressValues", id, PACKAGE = "lumo"), "Could not get information for thread id")
})

test_that("bad argument lists are refused in both modes with an error naming the element", {
  good <- odp_args(m = 12, m0 = 8, B = 2)
  put <- function(pos, value) { good[pos] <- list(value); good }
  cases <- list(
    list(good[1:23], "length(arglist)>=24"),
    list(1:30, "length(arglist)>=24"),
    list(put(8, as.integer(good[[8]])), "arglist[[8]] ('xx') must be a double vector"),
    list(put(16, as.double(good[[16]])), "arglist[[16]] ('ID') must be an integer vector"),
    list(put(21, 12), "arglist[[21]] ('m') must be an integer vector"),
    list(put(21, NA_integer_), "arglist[[21]] ('m') must be a size, not NA"),
    list(put(22, -1L), "arglist[[22]] ('n') must be a non-negative size"),
    list(put(1, integer(0)), "arglist[[1]] ('B') must hold a size"),
    list(put(10, NULL), "arglist[[10]] ('mu') must be a double vector, not NULL"),
    list(put(8, good[[8]][-1]), "m_xxlen == m_m"),
    list(put(9, good[[9]][-1]), "m_xklen == m_m*m_k"),
    list(put(11, c(good[[11]], 1)), "m_sigmalen == m_m"),
    list(put(16, good[[16]][-1]), "m_idlen == m_n*m_k"),
    list(put(17, c(good[[17]], 1L)), "m_ngrplen == m_k"),
    list(put(18, good[[18]][-1]), "m_reslen == m_m0*m_n"),
    list(put(19, good[[19]][-1]), "m_vvlen == m_B*m_n"),
    list(put(10, good[[10]][-1]), "arglist[[10]] ('mu') has length 23; at least 24 needed"),
    list(put(15, good[[15]][-1]), "arglist[[15]] ('sigma0BS')"),
    list(put(20, good[[20]][-1]), "arglist[[20]] ('nii')"),
    list(put(20, replace(good[[20]], 3, 12L)), "arglist[[20]] ('nii'): entry 3 is out of range 0..11"),
    list(put(20, replace(good[[20]], 1, -1L)), "arglist[[20]] ('nii'): entry 1 is out of range"),
    list(put(20, replace(good[[20]], 2, NA)), "arglist[[20]] ('nii'): entry 2 is out of range"),
    list(put(19, replace(good[[19]], 5, 9L)), "arglist[[19]] ('vv'): entry 5 is out of range 0..8"),
    list(replace(put(12, good[[12]][1:3]), 20, list(c(0:2, 11L, 4:7))),
         "arglist[[12]] ('sigma0') has length 3; at least 12 needed"),
    list(put(24, 13L), "arglist[[24]] ('m0') is 13; it cannot exceed"),
    list(replace(put(1, .Machine$integer.max), 24, list(12L)), "at most"))
  for (cs in cases) for (mode in c(FALSE, TRUE))
    expect_error(run_odp(cs[[1]], mode), cs[[2]], fixed = TRUE, info = cs[[2]])
  expect_length(run_odp(good)$lr, 12)   # the refused calls left nothing behind
})

# A list asking for the drawn null: priors (draw, alternative, null) and B x 2 keys.
odp_draw_args <- function(..., priors = c(4, 0.5, 4, 0.5, 0, 0), keys = NULL) {
  a <- odp_args(...)
  a[[25]] <- 1L
  a[[26]] <- priors
  a[[27]] <- if (is.null(keys)) seq_len(2L * a[[1]]) * 7919L else keys
  a
}

test_that("the drawn null is fixed by its keys, not by the maps or the thread count, and refuses bad priors", {
  a <- odp_draw_args(m = 300, m0 = 280, B = 3)
  old <- .Call("SetThreadCount", 1L, PACKAGE = "lumo")
  on.exit(.Call("SetThreadCount", old, PACKAGE = "lumo"))
  one <- run_odp(a)
  .Call("SetThreadCount", 3L, PACKAGE = "lumo")
  expect_identical(run_odp(a), one)
  expect_identical(run_odp(replace(a, 19, list(rev(a[[19]])))), one)          # maps unread
  expect_identical(run_odp(replace(a, 25, list(0L)))$lr0, run_odp(a[1:24])$lr0) # 0: the resampled null
  expect_identical(run_odp(a[1:24])$lr, one$lr)                                 # the observed statistic is shared
  other <- run_odp(replace(a, 27, list(a[[27]] + 1L)))
  expect_false(any(other$lr0 == one$lr0))
  expect_true(all(is.finite(one$lr0) & one$lr0 > 0))
  put <- function(pos, value) { a[pos] <- list(value); a }
  cases <- list(
    list(put(25, 2L), "arglist[[25]] ('null') must be 0 (resampled) or 1 (drawn), not 2"),
    list(a[1:26], "length(arglist)>=27"),
    list(put(26, c(4, 0.5)), "arglist[[26]] ('priors') must hold 6 numbers"),
    list(put(26, c(4, 0, 0, 0, 0, 0)), "prior 1 needs df >= 0"),
    list(put(26, c(4, 1, -1, 1, 0, 0)), "prior 2 needs df >= 0"),
    list(put(26, c(4, 1, 4, 1, NaN, 1)), "prior 3 needs df >= 0"),
    list(put(27, as.double(a[[27]])), "arglist[[27]] ('keys') must be an integer vector"),
    list(put(27, a[[27]][-1]), "arglist[[27]] ('keys') has length 5; B x 2 keys requires 6"))
  for (cs in cases) expect_error(run_odp(cs[[1]]), cs[[2]], fixed = TRUE, info = cs[[2]])
  expect_identical(run_odp(put(26, c(Inf, 0.5, Inf, 0.5, 0, 0)))$lr, one$lr)   # an infinite df is a fixed variance
})

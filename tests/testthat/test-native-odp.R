# The RunODP entry point: result layout, the three run modes, job control,
# the drawn null (slots null, priors, keys) and every kind of bad argument list.

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
  r <- run_odp(put(put(put(a, "m0", 0L), c("res", "sigma0BS"), double(0)), "nii", integer(0)))
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
  set <- function(slot, value) put(good, slot, value)
  cases <- list(
    refusal(up_to(good, "k"), "length(arglist)>=24"),
    refusal(1:30, "length(arglist)>=24"),
    refusal(set("xx", as.integer(good$xx)), "arglist[[8]] ('xx') must be a double vector"),
    refusal(set("ID", as.double(good$ID)), "arglist[[16]] ('ID') must be an integer vector"),
    refusal(set("m", 12), "arglist[[21]] ('m') must be an integer vector"),
    refusal(set("m", NA_integer_), "arglist[[21]] ('m') must be a size, not NA"),
    refusal(set("n", -1L), "arglist[[22]] ('n') must be a non-negative size"),
    refusal(set("B", integer(0)), "arglist[[1]] ('B') must hold a size"),
    refusal(set("mu", NULL), "arglist[[10]] ('mu') must be a double vector, not NULL"),
    refusal(set("xx", good$xx[-1]), "m_xxlen == m_m"),
    refusal(set("xk", good$xk[-1]), "m_xklen == m_m*m_k"),
    refusal(set("sigma", c(good$sigma, 1)), "m_sigmalen == m_m"),
    refusal(set("ID", good$ID[-1]), "m_idlen == m_n*m_k"),
    refusal(set("nGrp", c(good$nGrp, 1L)), "m_ngrplen == m_k"),
    refusal(set("res", good$res[-1]), "m_reslen == m_m0*m_n"),
    refusal(set("vv", good$vv[-1]), "m_vvlen == m_B*m_n"),
    refusal(set("mu", good$mu[-1]), "arglist[[10]] ('mu') has length 23; at least 24 needed"),
    refusal(set("sigma0BS", good$sigma0BS[-1]), "arglist[[15]] ('sigma0BS')"),
    refusal(set("nii", good$nii[-1]), "arglist[[20]] ('nii')"),
    refusal(set("nii", replace(good$nii, 3, 12L)), "arglist[[20]] ('nii'): entry 3 is out of range 0..11"),
    refusal(set("nii", replace(good$nii, 1, -1L)), "arglist[[20]] ('nii'): entry 1 is out of range"),
    refusal(set("nii", replace(good$nii, 2, NA)), "arglist[[20]] ('nii'): entry 2 is out of range"),
    refusal(set("vv", replace(good$vv, 5, 9L)), "arglist[[19]] ('vv'): entry 5 is out of range 0..8"),
    refusal(put(set("sigma0", good$sigma0[1:3]), "nii", c(0:2, 11L, 4:7)),
         "arglist[[12]] ('sigma0') has length 3; at least 12 needed"),
    refusal(set("m0", 13L), "arglist[[24]] ('m0') is 13; it cannot exceed"),
    refusal(put(set("B", .Machine$integer.max), "m0", 12L), "at most"),
    # The names, when there are any, must be those of the slots: two vectors
    # of the same type and length cannot change places.
    refusal(setNames(good, replace(names(good), match(c("sigma", "sigma0"), names(good)), c("sigma0", "sigma"))),
         "arglist[[11]] is named 'sigma0'; RunODP expects 'sigma' there"),
    refusal(setNames(good, replace(names(good), match("", names(good)), "x")),
            "arglist[[2]] is named 'x'; RunODP expects '' there"))
  for (cs in cases) for (mode in c(FALSE, TRUE))
    expect_error(run_odp(cs$args, mode), cs$msg, fixed = TRUE, info = cs$msg)
  expect_length(run_odp(good)$lr, 12)   # the refused calls left nothing behind
  expect_identical(run_odp(unname(good)), run_odp(good))   # an unnamed list is read by position
})

# A list asking for the drawn null: priors (draw, alternative, null) and B x 2 keys.
odp_draw_args <- function(..., priors = c(4, 0.5, 4, 0.5, 0, 0), keys = NULL) {
  a <- odp_args(...)
  c(a, list(null = 1L, priors = priors, keys = if (is.null(keys)) seq_len(2L * a$B) * 7919L else keys))
}

test_that("the drawn null is fixed by its keys, not by the maps, and refuses bad priors", {
  a <- odp_draw_args(m = 300, m0 = 280, B = 3)
  one <- run_odp(a)
  resampled <- up_to(a, "m0")
  expect_identical(run_odp(put(a, "vv", rev(a$vv))), one)                 # maps unread
  expect_identical(run_odp(put(a, "null", 0L))$lr0, run_odp(resampled)$lr0) # 0: the resampled null
  expect_identical(run_odp(resampled)$lr, one$lr)                           # the observed statistic is shared
  other <- run_odp(put(a, "keys", a$keys + 1L))
  expect_false(any(other$lr0 == one$lr0))
  expect_true(all(is.finite(one$lr0) & one$lr0 > 0))
  cases <- list(
    refusal(put(a, "null", 2L), "arglist[[25]] ('null') must be 0 (resampled) or 1 (drawn), not 2"),
    refusal(up_to(a, "priors"), "length(arglist)>=27"),
    refusal(put(a, "priors", c(4, 0.5)), "arglist[[26]] ('priors') must hold 6 numbers"),
    refusal(put(a, "priors", c(4, 0, 0, 0, 0, 0)), "prior 1 needs df >= 0"),
    refusal(put(a, "priors", c(4, 1, -1, 1, 0, 0)), "prior 2 needs df >= 0"),
    refusal(put(a, "priors", c(4, 1, 4, 1, NaN, 1)), "prior 3 needs df >= 0"),
    refusal(put(a, "keys", as.double(a$keys)), "arglist[[27]] ('keys') must be an integer vector"),
    refusal(put(a, "keys", a$keys[-1]), "arglist[[27]] ('keys') has length 5; B x 2 keys requires 6"),
    refusal(c(a, list(dims = 2L)), "arglist[[28]] ('dims') is 2; it must exceed k = 2 and not exceed n = 9"),
    refusal(c(a, list(dims = 10L)), "arglist[[28]] ('dims') is 10; it must exceed k = 2 and not exceed n = 9"),
    refusal(c(a, list(dims = 0L, rss = 2L)), "arglist[[29]] ('rss') must be 0 or 1"),
    refusal(c(put(a, "null", 0L), list(dims = 0L, rss = 1L)),
            "arglist[[29]] ('rss') must be 0 with the resampled null"))
  for (cs in cases) expect_error(run_odp(cs$args), cs$msg, fixed = TRUE, info = cs$msg)
  # Data in coordinates: null statistics drawn in a residual space of `dims` dimensions.
  expect_identical(run_odp(c(a, list(dims = 0L))), one)
  # The null data's residual sums of squares come as a third element, and change nothing else.
  with_rss <- run_odp(c(a, list(dims = 0L, rss = 1L)))
  expect_identical(with_rss[c("lr", "lr0")], one)
  expect_length(with_rss$rss1, length(one$lr0))
  expect_true(all(with_rss$rss1 > 0))
  expect_identical(run_odp(c(a, list(dims = 0L, rss = 0L))), one)
  coords <- run_odp(c(a, list(dims = 8L)))
  expect_identical(coords$lr, one$lr)
  expect_true(all(is.finite(coords$lr0)) && !any(coords$lr0 == one$lr0))
  # An infinite df is a fixed variance.
  expect_identical(run_odp(put(a, "priors", c(Inf, 0.5, Inf, 0.5, 0, 0)))$lr, one$lr)
})

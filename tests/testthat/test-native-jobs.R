# The error boundary of every entry point, job lookups of every entry point
# that takes a job id, interrupts of synchronous runs, and the library version.

# Every entry point that looks a job up, with the text it gives for an id that
# names no job, and the kind of job it needs (NA: any).
job_lookups <- list(
  list(fn = "GetProgressValues", missing = "Could not get information for thread id %d", kind = NA),
  list(fn = "StopThread", missing = "Could not get information for thread id %d", kind = NA),
  list(fn = "DeleteThread", missing = "Could not get information for thread id %d", kind = NA),
  list(fn = "GetODPResult", missing = "Could not get thread information for thread id = %d", kind = "an ODP job"),
  list(fn = "GetTimecourseResult", missing = "Could not get thread information for thread id = %d",
       kind = "a time-course job"),
  list(fn = "FinishClusteringThread", missing = "Could not get information for thread id %d",
       kind = "a clustering job", extra = list(integer(2), double(1), integer(2)))
)
lookup <- function(l, id) do.call(.Call, c(list(l$fn, id), l$extra, list(PACKAGE = "lumo")))

test_that("each kind of failure reaches R as the text of the boundary's table, and the session goes on", {
  # GuardProbe throws from a frame that owns memory; a sanitizer build shows
  # that every frame unwound before the R error.
  probe <- function(kind, arglist = NULL) .Call("GuardProbe", kind, arglist, PACKAGE = "lumo")
  a <- odp_args(m = 12, B = 2)
  cases <- list(
    refusal(list("argument"), "probe: bad argument 1"), refusal(list("error"), "probe: failed"),
    refusal(list("memory"), "probe ran out of memory"), refusal(list("interrupt"), "probe was interrupted"),
    refusal(list("engine"), "probe: engine fault"),
    refusal(list("engine-memory"), "Not enough memory. Your dataset may be too large."),
    refusal(list("standard"), "probe: length"), refusal(list("other"), "probe failed in an unknown way"),
    refusal(list("nonsense"), "unknown probe kind 'nonsense'"),
    # The job's constructor copies every array, then finds a broken length rule.
    refusal(list("odp-job", put(a, "vv", a$vv[-1])), "Could not allocate COdpThread object"),
    refusal(list("odp-job", put(a, "xx", as.integer(a$xx))),
            "arglist[[8]] ('xx') must be a double vector, not integer"))
  for (cs in cases) {
    e <- tryCatch(do.call(probe, cs$args), error = identity)
    expect_identical(conditionMessage(e), cs$msg, info = cs$msg)
  }
  expect_identical(probe("none"), 1)
  expect_identical(probe("odp-job", a), 1)
  # A list refused in either mode leaves no job behind.
  for (mode in c(FALSE, TRUE))
    expect_error(.Call("RunODP", put(a, "nii", replace(a$nii, 1, 99L)), mode, PACKAGE = "lumo"), "out of range")
  expect_length(.Call("RunODP", a, FALSE, PACKAGE = "lumo")$lr, 12)
})

test_that("every lookup refuses NA, empty and unknown ids with one wording", {
  for (l in job_lookups) {
    expect_error(lookup(l, NA_integer_), "job id is NA", fixed = TRUE, info = l$fn)
    expect_error(suppressWarnings(lookup(l, "x")), "job id is NA", fixed = TRUE, info = l$fn)
    expect_error(lookup(l, integer(0)), "job id is empty", fixed = TRUE, info = l$fn)
    expect_error(lookup(l, 987654L), sprintf(l$missing, 987654L), fixed = TRUE, info = l$fn)
  }
})

test_that("result fetchers refuse jobs of another kind with one wording", {
  x <- matrix(rnorm(200), 20)
  jobs <- c("an ODP job" = .Call("RunODP", odp_args(m = 20, B = 2), TRUE, PACKAGE = "lumo"),
            "a time-course job" = .Call("RunTimecourseIndep", tc_indep_args(), TRUE, PACKAGE = "lumo"),
            "a clustering job" = .Call("StartClusteringThread", as.double(x), 20L, 10L, 0L, 0L, PACKAGE = "lumo"))
  on.exit(for (id in jobs) .Call("DeleteThread", id, PACKAGE = "lumo"))
  for (id in jobs) wait_job(id)
  for (l in Filter(function(l) !is.na(l$kind), job_lookups)) {
    for (kind in setdiff(names(jobs), l$kind))
      expect_error(lookup(l, jobs[[kind]]), sprintf("job %d is not %s", jobs[[kind]], l$kind), fixed = TRUE,
                   info = l$fn)
  }
  # The refusals leave the jobs intact.
  expect_named(.Call("GetODPResult", jobs[["an ODP job"]], PACKAGE = "lumo"), c("lr", "lr0"))
})

test_that("SIGINT ends a long synchronous run within a second, and the session goes on", {
  skip_on_os("windows")
  # Each run below takes far longer than the test waits (tens of seconds).
  # Afterwards a small run of the same kind must still give its full result.
  runs <- list(
    list(build = "s <- odp_args(m = 4000, n1 = 10, n2 = 10, B = 40)", entry = "RunODP",
         msg = "ODP computation was interrupted",
         again = "length(.Call('RunODP', odp_args(m = 20, B = 2), FALSE, PACKAGE = 'lumo')$lr0) == 40"),
    list(build = "s <- tc_indep_args(m = 20000, tpts = rep(0:9, each = 4), B = 3000L)", entry = "RunTimecourseIndep",
         msg = "Timecourse computation was interrupted",
         again = "length(.Call('RunTimecourseIndep', tc_indep_args(), FALSE, PACKAGE = 'lumo')$F) == 120"),
    list(build = c("m <- 1000000L; s <- rnorm(m * 12)", "fit <- function(m) .Call('InterceptFitInterruptible',
                   s[seq_len(m * 12)], c(rep(1, 12), 1:12), rep(1:3, each = 4), m, 12L, 2L, 3L, PACKAGE = 'lumo')"),
         call = "fit(m)", msg = "random-intercept fit was interrupted", again = "length(fit(2L)$rss) == 2"))
  for (r in runs) {
    setup <- c(sprintf("source(%s)", deparse(normalizePath(test_path("helper-lumo.R")))), r$build)
    call <- if (is.null(r$call)) sprintf(".Call('%s', s, FALSE, PACKAGE = 'lumo')", r$entry) else r$call
    out <- interrupt_child(setup, call, r$again)
    expect_identical(out$msg, r$msg)
    expect_lt(out$seconds, 1)
    expect_true(out$after)
  }
})

test_that("SIGINT to a run on forked or socket workers kills and reaps every worker the call started", {
  skip_on_os(c("windows", "mac", "solaris"))   # the workers are found in /proc
  # Each run takes far longer than the test waits; after the interrupt the child R
  # must have no child process left, running or as a zombie.
  setup <- c("set.seed(1)", "x <- matrix(rnorm(3000 * 20), 3000, 20)")
  runs <- list(
    odp_test = "odp_test(x, rep(1:2, each = 10), B = 2000, BPPARAM = BiocParallel::MulticoreParam(2))",
    timecourse_test = "timecourse_test(x, rep(1:10, 2), B = 1e5, BPPARAM = BiocParallel::MulticoreParam(2))",
    socket = "odp_test(x, rep(1:2, each = 10), B = 2000, BPPARAM = BiocParallel::SnowParam(2))")
  for (f in names(runs)) {
    out <- interrupt_child(setup, runs[[f]], "length(lumo:::group_processes()) == 0",
                           delay = if (f == "socket") 6 else 2)
    expect_identical(out$msg, "R interrupt", info = f)
    expect_true(out$after, info = f)
    # Each worker's share runs far longer: the call did not wait for it.
    expect_lt(out$seconds, 10)
  }
})

test_that("a run stops the backend it started and leaves one the user started running with its workers", {
  skip_on_os(c("windows", "mac", "solaris"))
  set.seed(4)
  x <- matrix(rnorm(100 * 8), 100, 8)
  runs <- list(odp_test = function(p) odp_test(x, rep(1:2, each = 4), B = 4, BPPARAM = p),
               timecourse_test = function(p) timecourse_test(x, rep(1:4, 2), df = 1, B = 4, BPPARAM = p))
  for (f in names(runs)) {
    p <- BiocParallel::MulticoreParam(2)
    runs[[f]](p)
    expect_false(BiocParallel::bpisup(p), info = f)
    BiocParallel::bpstart(p)
    workers <- lumo:::child_processes()
    runs[[f]](p)
    expect_true(BiocParallel::bpisup(p), info = f)
    expect_setequal(lumo:::child_processes(), workers)
    BiocParallel::bpstop(p)
  }
})

test_that("the library reports its version", {
  expect_identical(.Call("GetLumoLibraryVersion", PACKAGE = "lumo"), "1.1.290")
})

test_that("the verbs' entry points leave R's protection stack balanced", {
  # R reports an unbalanced .Call on the message stream, not as a condition.
  set.seed(3)
  x <- matrix(rnorm(40 * 6), 40, 6)
  x[sample(length(x), 10)] <- NA
  messages <- capture.output(type = "message", {
    y <- impute_knn(x, k = 3)
    job <- cluster_rows(y, background = TRUE)
    progress(job)
    result(job)
    fit <- timecourse_test(y, rep(1:3, 2), individual = rep(1:2, each = 3), intercept = "random", df = 1, B = 2)
  })
  expect_false(any(grepl("stack imbalance", messages)), info = paste(messages, collapse = "\n"))
})

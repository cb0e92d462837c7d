# lumo_job objects: a background analysis gives the synchronous result, a
# cancelled job ends and has no result, and a forgotten job is freed.

# An ODP job that takes many seconds unless stopped.
long_odp_job <- function() {
  set.seed(31)
  x <- matrix(rnorm(3000 * 10), 3000, 10)
  odp_test(x, rep(1:2, 5), B = 500, background = TRUE)
}

test_that("a background job gives the result of the synchronous call and keeps it", {
  set.seed(30)
  x <- matrix(rnorm(200 * 6), 200, 6)
  set.seed(1)
  direct <- odp_test(x, rep(1:2, 3), B = 4)
  set.seed(1)
  job <- odp_test(x, rep(1:2, 3), B = 4, background = TRUE)
  expect_s3_class(job, "lumo_job")
  expect_output(print(job), "lumo job [0-9]+: ODP test")
  fit <- result(job)
  expect_identical(fit$table, direct$table)
  expect_identical(result(job)$null, direct$null)
  expect_identical(progress(job)$state, "collected")
  expect_error(.Call("GetProgressValues", job$id, PACKAGE = "lumo"), "Could not get information")
})

test_that("cancel stops a running job, frees it and leaves no result", {
  job <- long_odp_job()
  expect_identical(progress(job)$state, "running")
  t0 <- Sys.time()
  cancel(job)
  expect_lt(as.numeric(difftime(Sys.time(), t0, units = "secs")), 10)   # the job alone runs far longer
  expect_identical(progress(job)$state, "cancelled")
  expect_error(.Call("GetProgressValues", job$id, PACKAGE = "lumo"), "Could not get information")
  expect_error(result(job), "the job was cancelled")
  expect_silent(cancel(job))
})

test_that("a garbage-collected job is deleted", {
  job <- long_odp_job()
  id <- job$id
  expect_type(.Call("GetProgressValues", id, PACKAGE = "lumo"), "list")
  rm(job)
  gc()
  expect_error(.Call("GetProgressValues", id, PACKAGE = "lumo"), "Could not get information")
})

test_that("a saved and restored or copied job controls no job, and the original is unharmed", {
  set.seed(30)
  x <- matrix(rnorm(200 * 6), 200, 6)
  set.seed(1)
  direct <- odp_test(x, rep(1:2, 3), B = 4)
  copies <- list(
    readRDS = function(job) { f <- tempfile(); on.exit(unlink(f)); saveRDS(job, f); readRDS(f) },
    serialize = function(job) unserialize(serialize(job, NULL)))
  verbs <- list(progress = progress, wait = wait, cancel = cancel, result = result)
  for (how in names(copies)) {
    for (verb in names(verbs)) {
      set.seed(1)
      job <- odp_test(x, rep(1:2, 3), B = 4, background = TRUE)
      copy <- copies[[how]](job)
      info <- paste(how, verb)
      expect_error(verbs[[verb]](copy), "^this job belongs to another R session", info = info)
      expect_output(print(copy), "from another R session: it controls no job", info = info)
      rm(copy)
      gc()
      expect_identical(result(job)$table, direct$table, info = info)
    }
  }
})

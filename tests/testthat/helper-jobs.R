# Polls a background job until it is done or canceled; fails the test when
# it has not ended within `timeout` seconds.
wait_job <- function(id, timeout = 60) {
  t0 <- Sys.time()
  repeat {
    p <- .Call("GetProgressValues", id, PACKAGE = "lumo")
    if (p$done == 1L || p$canceled == 1L) return(p)
    if (difftime(Sys.time(), t0, units = "secs") > timeout) stop("job did not finish")
    Sys.sleep(0.01)
  }
}

# Runs `call` (R code as text) synchronously in a child R process, sends it
# SIGINT `delay` seconds into the call and returns what the child reports:
# the error text, the seconds from the signal to the error, and whether the
# child's session afterwards still evaluated `again` to TRUE.
interrupt_child <- function(setup, call, again, delay = 0.5) {
  dir <- tempfile("lumo-intr"); dir.create(dir)
  on.exit(unlink(dir, recursive = TRUE))
  f <- function(name) file.path(dir, name)
  script <- c(
    sprintf(".libPaths(c(%s, .libPaths()))", deparse(.libPaths()[1])),
    "suppressMessages(library(lumo))",
    setup,
    sprintf("writeLines(as.character(Sys.getpid()), %s)", deparse(f("pid"))),
    sprintf("msg <- tryCatch({ %s; 'finished' }, error = function(e) conditionMessage(e),", call),
    "  interrupt = function(e) 'R interrupt')",
    "ended <- Sys.time()",
    sprintf("after <- tryCatch(isTRUE(%s), error = function(e) FALSE)", again),
    sprintf("saveRDS(list(msg = msg, ended = ended, after = after), %s)", deparse(f("out.tmp"))),
    sprintf("file.rename(%s, %s)", deparse(f("out.tmp")), deparse(f("out.rds")))
  )
  writeLines(script, f("child.R"))
  rscript <- file.path(R.home("bin"), "Rscript")
  system2(rscript, f("child.R"), wait = FALSE, stdout = f("log"), stderr = f("log"))
  t0 <- Sys.time()
  while (!file.exists(f("pid")) || length(readLines(f("pid"), warn = FALSE)) == 0) {
    if (difftime(Sys.time(), t0, units = "secs") > 60) stop("child R did not start")
    Sys.sleep(0.05)
  }
  pid <- readLines(f("pid"))
  # A child that outlives a failed test is ended.
  on.exit(if (!file.exists(f("out.rds"))) system2("kill", c("-KILL", pid)), add = TRUE, after = FALSE)
  Sys.sleep(delay)
  signalled <- Sys.time()
  system2("kill", c("-INT", pid))
  while (!file.exists(f("out.rds"))) {
    if (difftime(Sys.time(), signalled, units = "secs") > 60) stop("child R did not end its call")
    Sys.sleep(0.02)
  }
  out <- readRDS(f("out.rds"))
  out$seconds <- as.numeric(difftime(out$ended, signalled, units = "secs"))
  out
}

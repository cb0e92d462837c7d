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

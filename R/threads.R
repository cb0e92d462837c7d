# The thread count of the next native job: option "lumo.threads", else every core.
lumo_thread_count <- function() {
  n <- getOption("lumo.threads")
  if (is.null(n)) {
    n <- parallel::detectCores()
    if (is.na(n)) n <- 1L
  } else if (!is.numeric(n) || length(n) != 1L || is.na(n) || n < 1 || n != round(n)) {
    stop("option 'lumo.threads' must be a positive whole number", call. = FALSE)
  }
  as.integer(min(n, 1024))
}

# Hands the thread count to the native library; jobs capture it when they are built.
set_native_threads <- function() {
  invisible(.Call(C_SetThreadCount, lumo_thread_count()))
}

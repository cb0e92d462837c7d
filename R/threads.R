# Facts about the machine, found once when the package loads.
machine <- new.env(parent = emptyenv())

# The number of cores (detectCores starts a shell on some systems, so it is
# asked once, at load); 1 when it cannot be told.
count_cores <- function() {
  n <- parallel::detectCores()
  if (is.na(n) || n < 1L) 1L else as.integer(n)
}

core_count <- function() {
  if (is.null(machine$cores)) machine$cores <- count_cores()
  machine$cores
}

# The thread count of the next native job: option "lumo.threads", else every
# core; never more than the cores there are, nor more than `work`, the number
# of items (rows, genes) the job shares among its threads.
lumo_thread_count <- function(work = Inf) {
  n <- getOption("lumo.threads")
  if (is.null(n)) {
    n <- core_count()
  } else if (!is.numeric(n) || length(n) != 1L || !is.finite(n) || n < 1 || n != round(n)) {
    stop("option 'lumo.threads' must be a positive whole number", call. = FALSE)
  }
  as.integer(max(1, min(n, core_count(), work)))
}

# The machine's physical memory in bytes (0 when it cannot be told).
physical_memory <- function() {
  if (is.null(machine$memory)) machine$memory <- .Call(C_GetPhysicalMemory)
  machine$memory
}

# Hands the thread count of a job sharing `work` items to the native library;
# jobs capture it when they are built.
set_native_threads <- function(work = Inf) {
  invisible(.Call(C_SetThreadCount, lumo_thread_count(work)))
}

#' Background jobs
#'
#' Every long analysis of lumo (\code{\link{odp_test}}, \code{\link{timecourse_test}},
#' \code{\link{cluster_rows}}) runs as a native job. With \code{background = TRUE} the
#' analysis returns at once with a \code{lumo_job} object, and the R session stays free
#' while the job computes on its own threads.
#'
#' \itemize{
#'   \item \code{progress(job)} tells the job's state (\code{"running"}, \code{"done"},
#'     \code{"cancelled"}, \code{"failed"} or \code{"collected"}), its phase and the
#'     percentage done;
#'   \item \code{wait(job)} blocks until the job ends, with a text progress bar;
#'   \item \code{cancel(job)} stops the job (within one progress interval) and frees it;
#'   \item \code{result(job)} waits if needed and returns the analysis' result, which is
#'     kept, so it can be asked for again.
#' }
#' A job is also freed when its R object is garbage-collected, so jobs never leak.
#'
#' A \code{lumo_job} belongs to the R session that started it. Saved (\code{saveRDS},
#' \code{save}) and read back, in this session or another, or copied with
#' \code{serialize}, it controls no job: \code{print} says so, and every other verb
#' fails with "this job belongs to another R session" and never touches a job of the
#' session. To keep an analysis, save its \code{result()}.
#' Without \code{background}, the analyses run the same job and wait for it; an
#' interrupt (Ctrl-C) during that wait cancels the job.
#'
#' @param job A \code{lumo_job}.
#' @param bar Show a text progress bar while waiting.
#' @param interval Longest time between two polls of the job, in seconds (the first
#'   polls come sooner, so that short jobs are not kept waiting).
#' @param x A \code{lumo_job} (for \code{print}).
#' @param ... Ignored.
#' @return \code{progress} returns a list with \code{state}, \code{phase},
#'   \code{percent}, \code{current} and \code{max}. \code{wait} and \code{cancel} return
#'   the job invisibly; \code{result} returns the analysis' result.
#' @name lumo_job
#' @examples
#' x <- matrix(rnorm(500 * 10), 500, 10)
#' job <- odp_test(x, group = rep(1:2, each = 5), B = 20, background = TRUE)
#' job
#' fit <- result(job)
#' progress(job)$state
NULL

# Starts a native job and wraps it. `start` is a function that starts the job
# and returns its id; `collect(id)` turns the finished job into the result;
# `work` is the number of rows (genes) the job shares among its threads.
start_job <- function(kind, start, collect, work) {
  set_native_threads(work)
  id <- start()
  job <- new.env(parent = emptyenv())
  job$handle <- .Call(C_GetJobHandle)
  job$id <- id
  job$kind <- kind
  job$collect <- collect
  job$state <- NULL          # set once the native job is gone
  job$value <- NULL
  reg.finalizer(job, release_job, onexit = TRUE)
  class(job) <- "lumo_job"
  job
}

# Frees the native job (stopping and joining it first if it still runs).
release_job <- function(job, state = "cancelled") {
  if (is.null(job$state) && is_live(job)) {
    job$state <- state
    try(.Call(C_DeleteThread, job$id), silent = TRUE)
  }
  invisible(job)
}

# Runs a job to its end in the foreground: the synchronous form of every analysis.
run_job <- function(job, background) {
  if (background) return(job)
  wait(job, bar = interactive(), cancel_on_interrupt = TRUE)
  result(job)
}

poll_job <- function(job) {
  if (!is.null(job$state)) {
    return(list(state = job$state, phase = NA_character_,
                percent = if (job$state == "collected") 100 else NA_real_,
                current = NA_real_, max = NA_real_))
  }
  p <- .Call(C_GetProgressValues, job$id)
  state <- if (p$done == 1L) "done" else if (p$canceled == 1L) "cancelled" else "running"
  # Before its first report a job has no phase yet.
  phases <- native_phases()
  phase <- if (p$max > 0 && p$msgid >= 0L && p$msgid < length(phases)) phases[p$msgid + 1L] else NA_character_
  percent <- if (state == "done") 100 else if (p$max > 0) min(100, 100 * p$current / p$max) else 0
  list(state = state, phase = phase, percent = percent, current = p$current, max = p$max)
}

#' @rdname lumo_job
#' @export
progress <- function(job) {
  check_job(job)
  poll_job(job)
}

#' @rdname lumo_job
#' @param cancel_on_interrupt Cancel the job when the wait is interrupted (Ctrl-C);
#'   otherwise only the wait ends and the job goes on.
#' @export
wait <- function(job, bar = interactive(), interval = 0.05, cancel_on_interrupt = FALSE) {
  check_job(job)
  check_flag(bar, "bar")
  check_flag(cancel_on_interrupt, "cancel_on_interrupt")
  interval <- check_positive(interval, "interval")
  pb <- NULL
  shown <- NA_character_
  polls <- 0L
  on.exit(if (!is.null(pb)) close(pb))
  withCallingHandlers({
    repeat {
      p <- poll_job(job)
      if (bar) {
        if (!identical(p$phase, shown) && !is.na(p$phase)) {
          # The previous phase is over: its bar ends full.
          if (!is.null(pb)) {
            utils::setTxtProgressBar(pb, 100)
            close(pb)
          }
          message(p$phase)
          pb <- utils::txtProgressBar(min = 0, max = 100, style = 3)
          shown <- p$phase
        }
        if (!is.null(pb) && !is.na(p$percent)) utils::setTxtProgressBar(pb, p$percent)
      }
      if (p$state != "running") break
      # 2, 4, 8 ... ms up to `interval`: a short job is seen done soon after it ends.
      polls <- polls + 1L
      Sys.sleep(min(interval, 0.001 * 2^polls))
    }
  }, interrupt = function(cond) {
    if (cancel_on_interrupt) cancel(job)
  })
  invisible(job)
}

#' @rdname lumo_job
#' @export
cancel <- function(job) {
  check_job(job)
  if (is.null(job$state)) {
    .Call(C_StopThread, job$id)
    release_job(job)
  }
  invisible(job)
}

#' @rdname lumo_job
#' @export
result <- function(job) {
  check_job(job)
  if (identical(job$state, "collected")) return(job$value)
  if (identical(job$state, "cancelled")) stop("the job was cancelled; it has no result", call. = FALSE)
  if (identical(job$state, "failed")) stop("the job failed; it has no result", call. = FALSE)
  wait(job, bar = FALSE)
  p <- poll_job(job)
  if (p$state == "cancelled") {
    release_job(job)
    stop("the job was cancelled; it has no result", call. = FALSE)
  }
  # A failed job raises its error here; it is freed either way.
  value <- tryCatch(job$collect(job$id), error = function(e) {
    release_job(job, "failed")
    stop(conditionMessage(e), call. = FALSE)
  })
  .Call(C_DeleteThread, job$id)
  job$value <- value
  job$state <- "collected"
  value
}

#' @rdname lumo_job
#' @export
print.lumo_job <- function(x, ...) {
  if (!is_live(x)) {
    cat(sprintf("<lumo job %s: %s>\n  from another R session: it controls no job\n", format(x$id), format(x$kind)))
    return(invisible(x))
  }
  p <- poll_job(x)
  cat(sprintf("<lumo job %d: %s>\n", x$id, x$kind))
  cat(sprintf("  state: %s", p$state))
  if (p$state == "running") {
    cat(sprintf(", %.0f%% done", p$percent))
    if (!is.na(p$phase)) cat(sprintf(" (%s)", p$phase))
  }
  cat("\n")
  invisible(x)
}

check_job <- function(job) {
  if (!inherits(job, "lumo_job") || !is.environment(job)) stop("'job' must be a lumo_job", call. = FALSE)
  if (!is_live(job))
    stop("this job belongs to another R session (it was saved and restored, or copied); ",
         "it controls no job here. Save result(job) to keep an analysis", call. = FALSE)
}

# Whether the job object was made in this session: its handle, an external
# pointer, comes back with another (NULL) address from saveRDS / readRDS.
is_live <- function(job) {
  identical(job$handle, .Call(C_GetJobHandle))
}

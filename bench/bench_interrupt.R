# Interrupts of synchronous runs.
# 1. Latency: each long synchronous entry point runs in a child R process that
#    gets SIGINT one second into the call; seconds from the signal to the R
#    error, against the one-second bar (medians of `reps`).
# 2. Cost: the same ODP and time-course studies run synchronously (every
#    progress report consults the interrupt check) and in the background (no
#    check), alternately, medians of `reps`.
#   R_LIBS=.Rlib Rscript bench/bench_interrupt.R [reps]
library(lumo)
helpers <- normalizePath(file.path("tests", "testthat", c("helper-odp.R", "helper-timecourse.R", "helper-jobs.R")))
for (h in helpers) source(h)

args <- commandArgs(trailingOnly = TRUE)
reps <- if (length(args)) as.integer(args[1]) else 3L

src <- vapply(helpers[1:2], function(h) sprintf("source(%s)", deparse(h)), "", USE.NAMES = FALSE)
latency <- list(
  RunODP = c("s <- odp_study(m = 4000, n1 = 10, n2 = 10, B = 40)",
             ".Call('RunODP', s$arglist, FALSE, PACKAGE = 'lumo')"),
  RunTimecourseIndep = c("s <- tc_indep_case(m = 20000, tpts = rep(0:9, each = 4), B = 3000L)",
                         ".Call('RunTimecourseIndep', s$args, FALSE, PACKAGE = 'lumo')"),
  RunTimecourseNoInt = c("s <- tc_noint_case(m = 20000, d = tc_design(N = 8, T = 6), B = 3000L)",
                         ".Call('RunTimecourseNoInt', s$args, FALSE, PACKAGE = 'lumo')"),
  RunTimecourseInt = c("s <- tc_int_case(m = 20000, d = tc_design(N = 8, T = 6), B = 3000L)",
                       ".Call('RunTimecourseInt', s$args, FALSE, PACKAGE = 'lumo')"),
  Cluster = c("x <- rnorm(6000 * 20)",
              ".Call('Cluster', x, 6000L, 20L, integer(2 * 5999), double(5999), integer(6000), 2L, 0L, PACKAGE = 'lumo')")
)
rows <- lapply(names(latency), function(entry) {
  r <- latency[[entry]]
  outs <- lapply(seq_len(reps), function(k) interrupt_child(c(src, r[1]), r[2], "TRUE", delay = 1))
  secs <- vapply(outs, function(o) o$seconds, 0)
  data.frame(entry = entry, message = outs[[1]]$msg, median_s = median(secs), max_s = max(secs), bar_s = 1)
})
cat("SIGINT to R error, seconds\n")
print(do.call(rbind, rows), digits = 3, row.names = FALSE)

background <- function(entry, arglist) {
  id <- .Call(entry, arglist, TRUE, PACKAGE = "lumo")
  wait_job(id, timeout = 600)
  .Call("DeleteThread", id, PACKAGE = "lumo")
}
cases <- list(
  list(name = "RunODP m=2000 B=10", entry = "RunODP",
       arglist = odp_study(m = 2000, n1 = 10, n2 = 10, B = 10)$arglist),
  list(name = "RunTimecourseIndep m=5000 B=100", entry = "RunTimecourseIndep",
       arglist = tc_indep_case(m = 5000, tpts = rep(0:9, each = 3), B = 100L)$args)
)
rows <- lapply(cases, function(cs) {
  t <- replicate(reps, c(
    sync = system.time(.Call(cs$entry, cs$arglist, FALSE, PACKAGE = "lumo"))[["elapsed"]],
    background = system.time(background(cs$entry, cs$arglist))[["elapsed"]]))
  data.frame(case = cs$name, sync_s = median(t["sync", ]), background_s = median(t["background", ]),
             ratio = median(t["sync", ]) / median(t["background", ]))
})
cat("\nSynchronous (with the check) against background (without), seconds\n")
print(do.call(rbind, rows), digits = 3, row.names = FALSE)

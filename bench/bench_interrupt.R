# What the interrupt check costs a synchronous run: the same ODP and
# time-course studies run synchronously (every progress report consults the
# check) and in the background (no check), alternately, medians of `reps`.
#   R_LIBS=.Rlib Rscript bench/bench_interrupt.R [reps]
library(lumo)
source(file.path("tests", "testthat", "helper-odp.R"))
source(file.path("tests", "testthat", "helper-timecourse.R"))
source(file.path("tests", "testthat", "helper-jobs.R"))

args <- commandArgs(trailingOnly = TRUE)
reps <- if (length(args)) as.integer(args[1]) else 5L

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
print(do.call(rbind, rows), digits = 3, row.names = FALSE)

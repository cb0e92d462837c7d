# What the R layer of odp_test and timecourse_test costs on top of their native
# jobs: each analysis run whole, side by side with its native job alone on the
# same argument list, and with the iterations shared by two SnowParam workers.
# The three runs alternate within each repetition, so that a change of the
# machine's load hits all three alike; medians of `reps` repetitions.
#   R_LIBS=.Rlib Rscript bench/bench_rapi.R [reps]
library(lumo)
args <- commandArgs(trailingOnly = TRUE)
reps <- if (length(args)) as.integer(args[1]) else 3L
ns <- asNamespace("lumo")

elapsed <- function(f) system.time(f())[["elapsed"]]

# The native argument list that the analysis builds, captured from its job start.
native_args <- function(call) {
  captured <- NULL
  trace_fun <- function(kind, entry, args, maps, B, ...) {
    captured <<- ns$with_maps(args, maps, seq_len(B))
    stop("captured")
  }
  old <- ns$run_bootstrap
  utils::assignInNamespace("run_bootstrap", trace_fun, "lumo")
  on.exit(utils::assignInNamespace("run_bootstrap", old, "lumo"))
  try(eval(call), silent = TRUE)
  captured
}

set.seed(1)
m <- 5000; n <- 20; B <- 10L
x <- matrix(rnorm(m * n), m, n)
g <- rep(1:2, each = n / 2)
tm <- rep(1:10, each = 2)
snow <- BiocParallel::SnowParam(2)
BiocParallel::bpstart(snow)

cases <- list(
  list(name = "odp_test", entry = ns$C_RunODP,
       call = quote(odp_test(x, g, B = B)), snow = quote(odp_test(x, g, B = B, BPPARAM = snow))),
  list(name = "timecourse_test", entry = ns$C_RunTimecourseIndep,
       call = quote(timecourse_test(x, tm, B = 5 * B)),
       snow = quote(timecourse_test(x, tm, B = 5 * B, BPPARAM = snow))))

rows <- lapply(cases, function(cs) {
  a <- native_args(cs$call)
  ns$set_native_threads()          # as the analyses do before they start their job
  t <- replicate(reps, c(native = elapsed(function() .Call(cs$entry, a, FALSE)),
                         whole = elapsed(function() eval(cs$call)),
                         snow2 = elapsed(function() eval(cs$snow))))
  t <- apply(t, 1L, stats::median)
  data.frame(analysis = cs$name, genes = m, arrays = n, B = if (cs$name == "odp_test") B else 5L * B,
             native_s = t[["native"]], whole_s = t[["whole"]], r_share = 1 - t[["native"]] / t[["whole"]],
             snow2_s = t[["snow2"]])
})
BiocParallel::bpstop(snow)
print(do.call(rbind, rows), digits = 3, row.names = FALSE)

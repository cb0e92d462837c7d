# Interrupts of synchronous runs.
# 1. Latency: each long synchronous entry point, and the R functions that run
#    the random-intercept EM fits and the kNN imputation, run in a child R
#    process that gets SIGINT one second into the call; seconds from the signal
#    to the R error, against the bar (medians of `reps`).
# 2. Cost: the same ODP and time-course studies run synchronously (every
#    progress report consults the interrupt check) and in the background (no
#    check), alternately, medians of `reps`; and the EM fits and the imputation
#    through their interruptible .Call routines against the .C/.Fortran ones.
#   R_LIBS=.Rlib Rscript bench/bench_interrupt.R [reps]
library(lumo)
helpers <- normalizePath(file.path("tests", "testthat", "helper-lumo.R"))
source(helpers)

args <- commandArgs(trailingOnly = TRUE)
reps <- if (length(args)) as.integer(args[1]) else 3L

src <- sprintf("source(%s)", deparse(helpers))
# Random intercepts at 100,000 genes x 20 arrays (B = 0: the two EM fits only;
# without individual effects the EM settles slowly, over 10 s here), and kNN
# imputation of 60,000 rows in one block.
em_setup <- c("set.seed(1); N <- 4; tl <- rep(c(0, 1, 2, 4, 7), N); ind <- rep(1:N, each = 5)",
              "y <- matrix(rnorm(1e5 * 20), 1e5, 20)")
knn_setup <- c("set.seed(1); x <- matrix(rnorm(6e4 * 20), 6e4, 20)", "x[sample(length(x), 0.02 * length(x))] <- NA")
latency <- list(
  RunODP = c("s <- odp_args(m = 4000, n1 = 10, n2 = 10, B = 40)",
             ".Call('RunODP', s, FALSE, PACKAGE = 'lumo')", 1),
  RunTimecourseIndep = c("s <- tc_indep_args(m = 20000, tpts = rep(0:9, each = 4), B = 3000L)",
                         ".Call('RunTimecourseIndep', s, FALSE, PACKAGE = 'lumo')", 1),
  RunTimecourseNoInt = c("s <- tc_long_args(FALSE, m = 20000, N = 8, n_times = 6, B = 3000L)",
                         ".Call('RunTimecourseNoInt', s, FALSE, PACKAGE = 'lumo')", 1),
  RunTimecourseInt = c("s <- tc_long_args(TRUE, m = 20000, N = 8, n_times = 6, B = 3000L)",
                       ".Call('RunTimecourseInt', s, FALSE, PACKAGE = 'lumo')", 1),
  Cluster = c("x <- rnorm(6000 * 20)",
              paste(".Call('Cluster', x, 6000L, 20L, integer(2 * 5999), double(5999), integer(6000), 2L, 0L,",
                    "PACKAGE = 'lumo')"),
              1),
  "timecourse_test EM" = c(paste(em_setup, collapse = "; "),
                           "timecourse_test(y, tl, individual = ind, intercept = 'random', B = 0)", 0.1),
  "impute_knn maxp=Inf" = c(paste(knn_setup, collapse = "; "), "impute_knn(x, maxp = Inf)", 0.1)
)
rows <- lapply(names(latency), function(entry) {
  r <- latency[[entry]]
  outs <- lapply(seq_len(reps), function(k) interrupt_child(c(src, r[1]), r[2], "TRUE", delay = 1))
  secs <- vapply(outs, function(o) o$seconds, 0)
  data.frame(entry = entry, message = outs[[1L]]$msg, median_s = median(secs), max_s = max(secs),
             bar_s = as.numeric(r[3]))
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
       arglist = odp_args(m = 2000, n1 = 10, n2 = 10, B = 10)),
  list(name = "RunTimecourseIndep m=5000 B=100", entry = "RunTimecourseIndep",
       arglist = tc_indep_args(m = 5000, tpts = rep(0:9, each = 3), B = 100L))
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

# The interruptible routines against the registered .C/.Fortran ones on the
# same data (the check costs a poll of R every 50 ms).
set_native_threads <- getFromNamespace("set_native_threads", "lumo")
set_native_threads()
em_case <- local({
  set.seed(2); m <- 20000L; nGrp <- rep(5L, 4); n <- 20L; ind <- rep(1:4, nGrp)
  x <- matrix(rnorm(m * n), m, n) + matrix(rnorm(m * 4, sd = 2), m, 4)[, ind]
  X <- cbind(1, splines::ns(rep(c(0, 1, 2, 4, 7), 4), 2))
  list(x = as.double(x), H = as.double(X %*% solve(crossprod(X), t(X))), ind = ind, idx = 0:(n - 1L),
       m = m, n = n, nGrp = nGrp)
})
knn_case <- local({
  set.seed(3); p <- 20000L; n <- 20L
  x <- matrix(rnorm(p * n), p, n); miss <- matrix(runif(p * n) < 0.02, p, n); x[miss] <- 0
  list(x = x, p = p, n = n, miss = as.integer(miss), irmiss = as.integer(rowSums(miss) > 0))
})
C_EMFitR <- getNativeSymbolInfo("EMFitR", "lumo")
C_knnimp <- getNativeSymbolInfo("knnimp", "lumo")
routines <- list(
  "EM fit m=20000 n=20" = list(
    old = function(e) {
      .C(C_EMFitR, e$x, e$H, e$ind, e$idx, 1e-3, fit = double(e$m * e$n), alpha = double(e$m * e$n), e$m, e$n, 4L,
         e$nGrp, iter = 0L)
    },
    new = function(e) {
      .Call("EMFitInterruptible", e$x, e$H, e$ind, e$idx, 1e-3, e$m, e$n, 4L, e$nGrp, PACKAGE = "lumo")
    },
    data = em_case),
  "kNN p=20000 n=20 k=10" = list(
    old = function(e) {
      .Fortran(C_knnimp, x = e$x, ximp = e$x, p = e$p, n = e$n, imiss = e$miss, irmiss = e$irmiss, kn = 10L,
               workp = double(0), workn = double(0), iworkp = integer(0), iworkn = integer(0))
    },
    new = function(e) {
      .Call("KnnImputeInterruptible", as.double(e$x), e$p, e$n, e$miss, e$irmiss, 10L, PACKAGE = "lumo")
    },
    data = knn_case))
rows <- lapply(names(routines), function(name) {
  r <- routines[[name]]
  t <- replicate(reps, c(old = system.time(r$old(r$data))[["elapsed"]],
                         new = system.time(r$new(r$data))[["elapsed"]]))
  data.frame(case = name, old_s = median(t["old", ]), interruptible_s = median(t["new", ]),
             ratio = median(t["new", ]) / median(t["old", ]))
})
cat("\nInterruptible .Call routines against the .C/.Fortran ones, seconds\n")
print(do.call(rbind, rows), digits = 3, row.names = FALSE)

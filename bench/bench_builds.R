# Two builds of lumo side by side on the same analyses: are the results
# bit-identical, and how do the wall times compare? Use it before and after a
# change that must not move any result (a refactor, a speed-up, a new
# dispatch). Each build runs in its own R process, the two interleaved;
# reported times are medians.
#   R_LIBS=.Rlib Rscript bench/bench_builds.R OTHER_LIBRARY [reps] [threads]
args <- commandArgs(trailingOnly = TRUE)
if (length(args) < 1L) stop("usage: bench_builds.R OTHER_LIBRARY [reps] [threads]")
other <- normalizePath(args[1])
reps <- if (length(args) >= 2L) as.integer(args[2]) else 3L
threads <- if (length(args) >= 3L) as.integer(args[3]) else parallel::detectCores()
this <- dirname(normalizePath(find.package("lumo")))

# One analysis per case, on data drawn from a fixed seed: heavy-tailed gene
# sds, small and three-group designs, missing values for the imputation.
one <- '
  args <- commandArgs(trailingOnly = TRUE)
  case <- args[1]; out <- args[2]; threads <- as.integer(args[3])
  suppressMessages(library(lumo))
  options(lumo.threads = threads)
  set.seed(11)
  m <- 3000L
  sds <- sqrt(3 * 0.08 / rchisq(m, 3))
  data <- function(n) {
    x <- matrix(rnorm(m * n), m, n) * sds
    x[1:200, seq_len(n %/% 2)] <- x[1:200, seq_len(n %/% 2)] + 1.5 * sds[1:200]
    rownames(x) <- sprintf("g%04d", seq_len(m))
    x
  }
  # The time course with the F of builds before moderation, where the build has the choice.
  tc <- function(...) {
    if ("moderate" %in% names(formals(timecourse_test))) timecourse_test(..., moderate = FALSE)
    else timecourse_test(...)
  }
  run <- switch(case,
    odp_2 = function() { x <- data(8); odp_test(x, rep(1:2, each = 4), B = 40) },
    odp_3 = function() { x <- data(12); odp_test(x, rep(1:3, each = 4), B = 40, moderate = FALSE) },
    tc_indep = function() { x <- data(12); tc(x, rep(1:6, 2), df = 2, B = 40) },
    tc_fixed = function() {
      x <- data(16); tc(x, rep(1:4, 4), individual = rep(1:4, each = 4), df = 2, B = 20)
    },
    tc_random = function() {
      x <- data(16)[1:1000, ]
      tc(x, rep(1:4, 4), individual = rep(1:4, each = 4), df = 2, B = 10, intercept = "random")
    },
    cluster_euc = function() cluster_rows(data(12), ordering = "optimal"),
    cluster_cor = function() cluster_rows(data(12), distance = "correlation"),
    knn = function() {
      x <- data(60); x[sample(length(x), length(x) %/% 20)] <- NA; impute_knn(x, k = 10)
    })
  t <- system.time(res <- suppressWarnings(run()))[["elapsed"]]
  saveRDS(unclass(res), out)
  cat(t, "\n")
'
script <- tempfile(fileext = ".R")
writeLines(one, script)
run_in <- function(lib, case) {
  out <- tempfile(fileext = ".rds")
  txt <- system2(file.path(R.home("bin"), "Rscript"), c(script, case, out, threads), stdout = TRUE,
                 env = paste0("R_LIBS=", lib))
  list(time = as.numeric(txt[length(txt)]), result = readRDS(out))
}
# Results differ only in what a run cannot reproduce (wall times and call records),
# in the wording of the design line, and in fields or table columns that one build
# adds; what both have must be identical.
parts <- function(r) {
  if (is.list(r)) c(names(r), if (is.data.frame(r$table)) paste0("table$", names(r$table))) else character(0)
}
same_results <- function(a, b) {
  if (!is.list(a) || !is.list(b)) return(identical(a, b))
  keep <- setdiff(intersect(names(a), names(b)), c("call", "time", "elapsed", "design"))
  a <- a[keep]; b <- b[keep]
  if (is.data.frame(a$table) && is.data.frame(b$table)) {
    cols <- intersect(names(a$table), names(b$table))
    a$table <- a$table[cols]; b$table <- b$table[cols]
  }
  identical(a, b)
}
cases <- c("odp_2", "odp_3", "tc_indep", "tc_fixed", "tc_random", "cluster_euc", "cluster_cor", "knn")
rows <- list()
for (case in cases) {
  a <- b <- NULL
  ta <- tb <- numeric(0)
  for (r in seq_len(reps)) {
    a <- run_in(this, case); b <- run_in(other, case)
    ta <- c(ta, a$time); tb <- c(tb, b$time)
  }
  same <- same_results(a$result, b$result)
  added <- setdiff(parts(a$result), parts(b$result))
  rows[[case]] <- data.frame(case = case, identical = same, this_s = median(ta), other_s = median(tb),
                             ratio = median(ta) / median(tb), added = paste(added, collapse = " "))
}
cat(sprintf("this build: %s\nother build: %s\n%d threads, medians of %d runs\n", this, other, threads, reps))
res <- do.call(rbind, rows)
print(res, digits = 3, row.names = FALSE)
if (!all(res$identical)) quit(status = 1)

# Time-course null F statistics: the three designs at 5,000 genes, 12 arrays
# (4 individuals x 3 time points), 50 bootstrap iterations, run synchronously
# on one thread and on all threads side by side (medians of interleaved
# runs, wall and processor seconds); then the EM fit alone (EMFitR) by
# threshold and number of individuals.
#
#   R_LIBS=/tmp/lumo-dev-NAME/lib Rscript bench/bench_timecourse.R [BASELINE_LIB] [REPS]
#
# BASELINE_LIB: an installed lumo of another revision (for example today's
# main, built with `R CMD INSTALL -l DIR`). The random-intercept design is then
# also run there, in a child R process between the runs of this build, and its
# F compared with this build's. REPS (default 3) runs of each build are made.
suppressPackageStartupMessages(library(lumo))

args <- commandArgs(trailingOnly = TRUE)
baseline <- if (length(args) >= 1 && nzchar(args[1])) normalizePath(args[1]) else NA
reps <- if (length(args) >= 2) as.integer(args[2]) else 3L
all_threads <- parallel::detectCores()
set_threads <- function(n) invisible(.Call("SetThreadCount", as.integer(n), PACKAGE = "lumo"))

proj <- function(X) X %*% solve(crossprod(X), t(X))
set.seed(1)
m <- 5000L; N <- 4L; Tp <- 3L; n <- N * Tp; B <- 50L
ind <- rep(seq_len(N), each = Tp); time <- rep(seq_len(Tp) - 1, N)
H1 <- proj(cbind(1, time, time^2)); H0 <- proj(matrix(1, n, 1))
y <- matrix(rnorm(m * n), m, n) + matrix(rnorm(m * N), m, N)[, ind]
fit0 <- y %*% t(H0); res1 <- y - y %*% t(H1)
resample <- function(width, range) matrix(sample.int(range, width * B, replace = TRUE) - 1L, B, width)

native_args <- lumo:::native_args
designs <- list()
designs[["independent"]] <- list(
  entry = "RunTimecourseIndep",
  args = native_args("indep", B = B, m = m, n = as.integer(n), fit0 = as.double(fit0),
                     v = as.integer(resample(n, n)), H0 = as.double(H0), H1 = as.double(H1),
                     res = as.double(res1)))

nr <- n - N
rmv <- as.integer(cumsum(rep(Tp, N)) - 1L); inc <- setdiff(0:(n - 1), rmv)
designs[["longitudinal, no intercept"]] <- list(
  entry = "RunTimecourseNoInt",
  args = native_args("noint", B = B, m = m, n = as.integer(n), ind = as.integer(ind), fit = as.double(fit0),
                     v = as.integer(resample(nr, nr)), H0 = as.double(H0), H1 = as.double(H1),
                     res = as.double(res1[, inc + 1]), rmv = rmv, wsq = as.double(diag(nr)), N = N,
                     inc = as.integer(inc), idx = 0:(n - 1), nGrp = rep(as.integer(Tp), N)))

alpha <- matrix(rnorm(m * N), m, N)[, ind]
for (eps in c(1e-2, 1e-3)) {
  a <- native_args("int", B = B, m = m, n = as.integer(n), ind = as.integer(ind), fit = as.double(fit0),
                   v = as.integer(resample(n, n)), H0 = as.double(H0), H1 = as.double(H1), res = as.double(res1),
                   alpha = as.double(alpha), eps = eps, N = N, v1 = as.integer(resample(n, n)), idx = 0:(n - 1),
                   nGrp = rep(as.integer(Tp), N))
  designs[[sprintf("with intercept, eps %g", eps)]] <- list(entry = "RunTimecourseInt", args = a)
}

# One synchronous run: F, wall and processor seconds.
run <- function(d) {
  st <- system.time(r <- .Call(d$entry, d$args, FALSE, PACKAGE = "lumo"))
  stopifnot(length(r$F) == m * B)
  list(F = r$F, wall = st[["elapsed"]], cpu = st[["user.self"]] + st[["sys.self"]])
}

# The same run in a child R process on the baseline library.
run_baseline <- function(d) {
  io <- tempfile(fileext = ".rds")
  on.exit(unlink(io))
  saveRDS(d, io)
  code <- sprintf(paste0("suppressPackageStartupMessages(library(lumo)); d <- readRDS('%s'); ",
                         "st <- system.time(r <- .Call(d$entry, d$args, FALSE, PACKAGE = 'lumo')); ",
                         "saveRDS(list(F = r$F, wall = st[['elapsed']], ",
                         "cpu = st[['user.self']] + st[['sys.self']]), '%s')"), io, io)
  status <- system2(file.path(R.home("bin"), "Rscript"), c("-e", shQuote(code)),
                    env = paste0("R_LIBS=", baseline))
  if (status != 0) stop("the baseline run failed")
  readRDS(io)
}

cat(sprintf("m = %d genes, n = %d arrays (%d individuals x %d time points), B = %d; %d runs each, medians\n",
            m, n, N, Tp, B, reps))
cat(sprintf("threads: 1 and %d (all cores)%s\n\n", all_threads,
            if (is.na(baseline)) "" else sprintf("; baseline: %s", baseline)))
cat(sprintf("%-28s %18s %18s %9s %7s\n", "design", "1 thread: wall/cpu", sprintf("%d threads", all_threads),
            "speed-up", "same F"))
fmt <- function(x) sprintf("%7.3f/%7.3f s", median(sapply(x, `[[`, "wall")), median(sapply(x, `[[`, "cpu")))
for (name in names(designs)) {
  d <- designs[[name]]
  one <- all <- base <- list()
  with_base <- !is.na(baseline) && d$entry == "RunTimecourseInt" && d$args$eps == 1e-3
  for (r in seq_len(reps)) {
    if (with_base) base[[r]] <- run_baseline(d)
    set_threads(1); one[[r]] <- run(d)
    set_threads(all_threads); all[[r]] <- run(d)
  }
  same <- all(sapply(c(one, all), function(x) identical(x$F, one[[1L]]$F)))
  wall1 <- median(sapply(one, `[[`, "wall")); wall_all <- median(sapply(all, `[[`, "wall"))
  cat(sprintf("%-28s %18s %18s %8.2fx %7s\n", name, fmt(one), fmt(all), wall1 / wall_all, if (same) "yes" else "NO"))
  if (with_base) {
    wall_base <- median(sapply(base, `[[`, "wall"))
    same_base <- all(sapply(base, function(x) identical(x$F, one[[1L]]$F)))
    cat(sprintf("%-28s %18s %18s %8.2fx %7s   <- baseline; speed-up of %d threads over it: %.2fx\n",
                "  baseline build", fmt(base), "", wall_base / wall1, if (same_base) "yes" else "NO", all_threads,
                wall_base / wall_all))
  }
}
set_threads(all_threads)

# EM iterations of one fit. Bootstrap null data resample the intercepts over
# all columns, so most genes have no individual effect left; their intercept
# variance tends to 0 like 1/t and they need about trunc(N/2)/eps iterations.
cat("\nEM iterations of one fit of 5,000 genes (null data: intercepts resampled over columns)\n")
cat(sprintf("%12s %6s %10s %12s %12s\n", "individuals", "eps", "iter", "1 thread s",
            sprintf("%d threads s", all_threads)))
for (Nv in c(4L, 10L)) {
  nv <- Nv * Tp; indv <- rep(seq_len(Nv), each = Tp); timev <- rep(seq_len(Tp) - 1, Nv)
  Hv <- proj(cbind(1, timev))
  dat <- matrix(rnorm(m * nv), m, nv) + matrix(rnorm(m * nv), m, nv)
  for (eps in c(1e-2, 1e-3, 1e-4)) {
    fitem <- function(threads) {
      set_threads(threads)
      secs <- system.time(out <- .C("EMFitR", as.double(dat), as.double(Hv), as.integer(indv), 0:(nv - 1L),
                                    as.double(eps), fit = double(m * nv), alpha = double(m * nv), m,
                                    as.integer(nv), Nv, rep(as.integer(Tp), Nv), iter = 0L,
                                    PACKAGE = "lumo"))[["elapsed"]]
      list(out = out, secs = secs)
    }
    one <- fitem(1); all <- fitem(all_threads)
    stopifnot(identical(one$out, all$out))
    cat(sprintf("%12d %6g %10d %12.2f %12.2f\n", Nv, eps, one$out$iter - 1L, one$secs, all$secs))
  }
}
set_threads(all_threads)

# Time-course null F statistics: the three designs at 5,000 genes, 12 arrays
# (4 individuals x 3 time points), 50 bootstrap iterations, run synchronously
# on one thread and on all threads side by side (medians of interleaved
# runs, wall and processor seconds); then the random-intercept test as a
# whole, timecourse_test(x, time, individual, intercept = "random", B = 50),
# with the fits of the EM over all genes against those of every gene on its own
# by maximum likelihood, and the accuracy of both fits' F against lme4 (when
# installed); then the EM fit alone (EMFitR) by threshold and number of
# individuals.
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

# The random-intercept test at 5,000 genes, 4 individuals x 3 time points, B =
# 50, heavy-tailed gene sds: the EM path (observed fits by EMFitInterruptible at
# the old default eps = 1e-3, the null by the int list without designs) against
# timecourse_test, whose fits are per-gene maximum likelihood, and against its
# native part alone (the observed fits and the null job on the same maps).
cat("\nRandom intercepts, m = 5,000, 4 x 3 arrays, B = 50: EM over all genes against per-gene ML (wall s)\n")
local({
  set.seed(7)
  s <- sqrt(3 * 0.08 / rchisq(m, 3))
  x <- 8 + (matrix(rnorm(m * n), m, n) + matrix(rnorm(m * N, sd = 0.7), m, N)[, ind]) * s
  X1 <- cbind(1, splines::ns(time, 2)); X0 <- matrix(1, n, 1)
  P1 <- proj(X1); P0 <- proj(X0)
  v <- resample(n, n)
  drawn <- matrix(sample.int(N, B * N, replace = TRUE) - 1L, B, N)
  v1 <- (drawn * Tp)[, ind, drop = FALSE]   # first array of the individual drawn in each array's place
  common <- list(B = B, m = m, n = as.integer(n), ind = as.integer(ind), v = v, H0 = as.double(P0),
                 H1 = as.double(P1), eps = 1e-3, N = N, v1 = v1, idx = 0:(n - 1L), nGrp = rep(as.integer(Tp), N))
  em_path <- function() {
    em <- function(H) {
      .Call(lumo:::C_EMFitInterruptible, as.double(x), as.double(H), as.integer(ind), 0:(n - 1L), 1e-3, m,
            as.integer(n), N, rep(as.integer(Tp), N))
    }
    e1 <- em(P1); e0 <- em(P0)
    a <- do.call(native_args, c("int", common, list(fit = e0$fit, res = as.double(x) - e1$fit - e1$alpha,
                                                     alpha = e1$alpha)))
    .Call("RunTimecourseInt", a, FALSE, PACKAGE = "lumo")$F
  }
  ml_native <- function() {
    ml <- function(X) {
      .Call(lumo:::C_InterceptFitInterruptible, as.double(x), as.double(X), as.integer(ind), m, as.integer(n),
            ncol(X), N)
    }
    f1 <- ml(X1); f0 <- ml(X0)
    a <- do.call(native_args, c("int", common, list(fit = f0$fit, res = as.double(x) - f1$fit - f1$alpha,
                                                     alpha = f1$alpha, rss = 0L, X1 = as.double(X1),
                                                     X0 = as.double(X0))))
    .Call("RunTimecourseInt", a, FALSE, PACKAGE = "lumo")$F
  }
  ml_test <- function() timecourse_test(x, time, individual = ind, intercept = "random", B = B)
  paths <- list("EM (observed fits + null job)" = em_path, "per-gene ML, native part" = ml_native,
                "per-gene ML, timecourse_test" = ml_test)
  cat(sprintf("%-32s %12s %12s\n", "path", "1 thread", sprintf("%d threads", all_threads)))
  for (name in names(paths)) {
    secs <- sapply(c(1, all_threads), function(th) {
      median(sapply(seq_len(reps), function(r) {
        set_threads(th)
        withr_threads <- options(lumo.threads = th)
        on.exit(options(withr_threads))
        system.time(paths[[name]]())[["elapsed"]]
      }))
    })
    cat(sprintf("%-32s %12.2f %12.2f\n", name, secs[1], secs[2]))
  }
})
set_threads(all_threads)

# Accuracy: F = RSS0 / RSS1 - 1 of 400 genes (4 x 3 arrays; heavy-tailed sds, a
# quarter without intercepts) from the EM fits (eps 1e-3, the old default) and
# from the per-gene fits, against lme4's maximum-likelihood fits: lmer as it
# stands, and lmer at the theta that minimises its deviance to 1e-12 (grid and
# golden sections). Relative differences |F / F_lme4 - 1|.
if (requireNamespace("lme4", quietly = TRUE)) local({
  set.seed(11)
  ma <- 400L
  s <- sqrt(3 * 0.08 / rchisq(ma, 3))
  tau <- s * rep_len(c(0, 0.3, 1, 3), ma)
  x <- 8 + matrix(rnorm(ma * n), ma, n) * s + (matrix(rnorm(ma * N), ma, N) * tau)[, ind]
  X1 <- cbind(1, splines::ns(time, 2)); X0 <- matrix(1, n, 1)
  indf <- factor(ind)
  lmer_rss <- function(y, X, exact) {
    if (!exact) {
      f <- lme4::lmer(y ~ 0 + X + (1 | indf), REML = FALSE,
                      control = lme4::lmerControl(check.conv.singular = "ignore"))
      return(c(sum(residuals(f)^2), lme4::getME(f, "theta")))
    }
    dev <- lme4::lmer(y ~ 0 + X + (1 | indf), REML = FALSE, devFunOnly = TRUE)
    grid <- c(0, 10^seq(-3, 3, by = 0.1))
    k <- which.min(vapply(grid, dev, 0))
    th <- if (k == 1L) 0 else optimize(dev, grid[c(k - 1L, min(k + 1L, length(grid)))], tol = 1e-12)$minimum
    if (dev(0) <= dev(th)) th <- 0
    f <- lme4::lmer(y ~ 0 + X + (1 | indf), REML = FALSE, start = list(theta = th),
                    control = lme4::lmerControl(optimizer = NULL, check.conv.singular = "ignore"))
    c(sum(residuals(f)^2), th)
  }
  ref <- lapply(c(lme4 = FALSE, exact = TRUE), function(exact) {
    t(apply(x, 1, function(y) {
      a <- lmer_rss(y, X1, exact); b <- lmer_rss(y, X0, exact)
      c(F = b[1] / a[1] - 1, theta = a[2])
    }))
  })
  em <- function(H) {
    .Call(lumo:::C_EMFitInterruptible, as.double(x), as.double(H), as.integer(ind), 0:(n - 1L), 1e-3, ma,
          as.integer(n), N, rep(as.integer(Tp), N))
  }
  e1 <- em(proj(X1)); e0 <- em(proj(X0))
  F_em <- rowSums((x - e0$fit - e0$alpha)^2) / rowSums((x - e1$fit - e1$alpha)^2) - 1
  F_ml <- timecourse_test(x, time, individual = ind, intercept = "random", B = 0, moderate = FALSE)$table$statistic
  boundary <- ref$exact[, "theta"] == 0
  cat(sprintf("\nAccuracy of F, %d genes (%d with intercept variance 0 at the maximum), |F / F_lme4 - 1|:\n", ma,
              sum(boundary)))
  cat(sprintf("%-34s %10s %10s %10s %14s\n", "fit vs reference", "median", "90 %", "max", "max, boundary"))
  label <- c(lme4 = "lmer", exact = "lmer, exact theta")
  for (r in names(ref)) for (f in c("EM", "ML")) {
    rel <- abs((if (f == "EM") F_em else F_ml) / ref[[r]][, "F"] - 1)
    cat(sprintf("%-34s %10.2g %10.2g %10.2g %14.2g\n", sprintf("%s vs %s", f, label[[r]]), median(rel),
                quantile(rel, 0.9), max(rel), max(rel[boundary])))
  }
})

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

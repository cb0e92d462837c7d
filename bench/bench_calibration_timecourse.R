# Calibration, realised FDR and power of timecourse_test against limma on the same data.
#
#   R_LIBS=.Rlib Rscript bench/bench_calibration_timecourse.R          # the full run
#   R_LIBS=.Rlib Rscript bench/bench_calibration_timecourse.R quick    # fewer seeds, B = 50
#
# 2,000 genes whose sds follow the heavy-tailed prior of bench_calibration.R (d0 = 3,
# s0^2 = 0.08), in four designs: independent samples at 6 times x 2 (12 arrays) and
# 8 times x 2 (16 arrays); 4 individuals x 6 times with a baseline per individual
# (fixed baselines); 8 individuals x 4 times with random baselines. Longitudinal genes
# get a baseline per individual with sd 1.5 times their own. Scenarios: a complete
# null, and 10 % of the genes following a curve over time (a line, a peak or a wave,
# scaled to a range of 1.5 to 4 sds, either sign).
#
# timecourse_test runs with moderated F (the default) and with the genes' own F; limma
# fits the same natural spline of time (plus the individuals, as fixed effects, or as a
# block with duplicateCorrelation for random baselines) and reports its moderated F.
# Figures as in bench_calibration.R: p05 and any_q under the complete null; realised FDR
# at q <= 0.05 and power (true genes in the longest ranked list whose realised FDR is
# <= 0.05) with changed genes. The bar: p05 in [0.04, 0.06], at most 1 run in 10 with a
# gene at q <= 0.05, and the moderated test's power at least 0.95 x limma's.
suppressPackageStartupMessages({
  library(lumo)
  library(limma)
})
source("bench/calibration-common.R")
quick <- "quick" %in% commandArgs(trailingOnly = TRUE)
m <- 2000L
B <- if (quick) 50L else 100L
null_seeds <- if (quick) 3L else 10L
de_seeds <- if (quick) 4L else 20L
df <- 2L
options(lumo.threads = parallel::detectCores(), width = 160)
started <- Sys.time()

designs <- list(
  "independent, 12 arrays" = list(time = rep(0:5, each = 2)),
  "independent, 16 arrays" = list(time = rep(0:7, each = 2)),
  "4 individuals x 6 times, fixed baselines" = list(time = rep(0:5, 4), ind = rep(1:4, each = 6),
                                                    intercept = "none"),
  "8 individuals x 4 times, random baselines" = list(time = rep(0:3, 8), ind = rep(1:8, each = 4),
                                                     intercept = "random"))

simulate <- function(d, scenario, seed) {
  set.seed(seed)
  n <- length(d$time)
  s <- gene_sds(m)
  x <- matrix(rnorm(m * n), m, n) * s + rnorm(m, 8, 1.5)
  if (!is.null(d$ind)) {
    N <- max(d$ind)
    x <- x + (matrix(rnorm(m * N), m, N) * s * 1.5)[, d$ind]
  }
  truth <- rep(FALSE, m)
  if (scenario == "changed") {
    de <- seq_len(m / 10)
    truth[de] <- TRUE
    u <- (d$time - min(d$time)) / diff(range(d$time))
    shapes <- rbind(u, 1 - (2 * u - 1)^2, sin(2 * pi * u))
    shapes <- shapes / (apply(shapes, 1, max) - apply(shapes, 1, min))
    curve <- shapes[sample.int(3, length(de), replace = TRUE), , drop = FALSE]
    x[de, ] <- x[de, ] + curve * (runif(length(de), 1.5, 4) * s[de] * sample(c(-1, 1), length(de), TRUE))
  }
  list(x = x, truth = truth)
}

limma_p <- function(x, d) {
  spline <- splines::ns(d$time, df = df)
  if (is.null(d$ind)) {
    design <- model.matrix(~spline)
    fit <- lmFit(x, design)
  } else if (d$intercept == "none") {
    design <- model.matrix(~factor(d$ind) + spline)
    fit <- lmFit(x, design)
  } else {
    design <- model.matrix(~spline)
    rho <- duplicateCorrelation(x, design, block = d$ind)$consensus.correlation
    fit <- lmFit(x, design, block = d$ind, correlation = rho)
  }
  coef <- grep("spline", colnames(design))
  topTable(eBayes(fit), coef = coef, number = Inf, sort.by = "none")$P.Value
}

rows <- list()
for (name in names(designs)) {
  d <- designs[[name]]
  for (scenario in c("null", "changed")) {
    runs <- list()
    for (seed in seq_len(if (scenario == "null") null_seeds else de_seeds)) {
      sim <- simulate(d, scenario, 100 * seed + nchar(name))
      for (moderate in c(TRUE, FALSE)) {
        set.seed(seed)
        fit <- timecourse_test(sim$x, d$time, d$ind, df = df, intercept = if (is.null(d$intercept)) "none" else
                                 d$intercept, B = B, moderate = moderate)$table
        method <- if (moderate) "moderated" else "own F"
        runs[[method]] <- rbind(runs[[method]], one_run(fit$p.value, fit$q.value, fit$statistic, sim$truth))
      }
      lp <- limma_p(sim$x, d)
      runs$limma <- rbind(runs$limma, one_run(lp, p.adjust(lp, "BH"), -lp, sim$truth))
    }
    rows[[length(rows) + 1L]] <- summarise_runs(runs, name, scenario, "moderated")
  }
}
res <- do.call(rbind, rows)[c("design", "scenario", "method", "runs", "p05", "any_q", "fdr", "fdr_se", "power")]
res$share <- res$power / (m / 10)
res$bar <- vapply(seq_len(nrow(res)), function(i) {
  r <- res[i, ]
  if (r$method != "moderated") return("")
  if (r$scenario == "null") {
    ok <- r$p05 >= 0.04 && r$p05 <= 0.06 && r$any_q <= ceiling(r$runs / 10)
  } else {
    lim <- res[res$design == r$design & res$scenario == r$scenario & res$method == "limma", ]
    ok <- r$fdr <= 0.05 + 2 * r$fdr_se && r$power >= 0.95 * lim$power
  }
  if (ok) "ok" else "MISSED"
}, "")
res[c("p05", "fdr", "fdr_se", "share")] <- lapply(res[c("p05", "fdr", "fdr_se", "share")], round, 3)
res$power <- round(res$power, 1)
res[res$scenario == "null", c("fdr", "fdr_se", "power", "share")] <- NA
res[res$scenario != "null", c("p05", "any_q")] <- NA
cat(sprintf("Time course: %d genes, spline df = %d, B = %d, %d null and %d changed-gene runs per design\n\n", m,
            df, B, null_seeds, de_seeds))
print(res, row.names = FALSE)
cat(sprintf("\nTotal time: %.1f minutes\n", as.numeric(difftime(Sys.time(), started, units = "mins"))))

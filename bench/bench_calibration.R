# Calibration, realised FDR and power of odp_test against limma on the same data
# (timecourse_test: bench_calibration_timecourse.R).
#
#   R_LIBS=.Rlib Rscript bench/bench_calibration.R          # the full run (about 5 minutes on 2 quiet cores)
#   R_LIBS=.Rlib Rscript bench/bench_calibration.R quick    # fewer seeds, B = 50, 20 permutations
#
# Simulated studies: 2,000 genes whose variances follow the scaled inverse-chi-square
# prior that limma::squeezeVar fits to the B-cell arrays of Bioconductor's ALL data
# (d0 = 3, s0^2 = 0.08: heavy tails, a few genes with very large or small sds), in the
# designs 3+3, 5+5, 10+10 and 4+4+4, and 5+5 with correlated arrays (a random array
# factor that every gene loads on). Scenarios: a complete null, and 10 % of the genes
# changed by 1.5 to 4 of their sds, in one shared direction (the last group up) or in
# mixed directions (one random group up or down).
#
# Real data: the B-cell arrays of ALL, BCR/ABL against NEG (79 arrays, the 2,391 probes
# that pass the usual filter), with the true labels (genes found: the mean over ten
# seeds of the bootstrap's draws) and with shuffled labels.
#
# Figures (limma: moderated t or F with BH q-values, the field's standard):
#   p05, p01      share of null genes with p <= 0.05, 0.01 (ideal 0.05, 0.01)
#   pi0           qvalue's estimate of the share of null genes
#   any_q         runs with any gene at q <= 0.05 (complete null: at most 1 in 10)
#   fdr (se)      realised FDR at q <= 0.05, mean over runs (false / reported, 0 if none)
#   found         true genes at q <= 0.05
#   power         true genes in the longest ranked list whose realised FDR is <= 0.05
#                 (odp_test's genes ranked as top_genes ranks them)
#   gain (se)     odp_test's power less limma's, mean over the runs of the paired difference
# The bar column checks the figures against the targets: complete null p05 in
# [0.04, 0.06] (with correlated arrays, where one array factor moves every gene's p-value
# together and the share varies widely from run to run, within 0.01 of limma's exact
# moderated test), pi0 >= 0.90 and any_q <= 1 in 10; realised FDR <= 0.05 + 2 se; power
# with shifts in a shared direction at least limma's (a mean at or above limma's, or a
# paired gain not below -2 se), with mixed directions at least 0.9 x limma's (there the
# ODP has no shared pattern to borrow, and both statistics rank the genes almost alike).
suppressPackageStartupMessages({
  library(lumo)
})
source("bench/calibration-common.R")
quick <- "quick" %in% commandArgs(trailingOnly = TRUE)
m <- 2000L
B <- if (quick) 50L else 100L
null_seeds <- if (quick) 3L else 10L
de_seeds <- if (quick) 4L else 20L
perms <- if (quick) 20L else 100L
options(lumo.threads = parallel::detectCores(), width = 160)
started <- Sys.time()

# ---------------------------------------------------------------- simulated studies
simulate <- function(sizes, scenario, seed, correlated = FALSE) {
  set.seed(seed)
  k <- length(sizes)
  group <- factor(rep(seq_len(k), sizes))
  n <- length(group)
  s <- gene_sds(m)
  x <- matrix(rnorm(m * n), m, n) * s + rnorm(m, 8, 1.5)
  if (correlated) x <- x + outer(rnorm(m, sd = 0.7) * s, rnorm(n))
  truth <- rep(FALSE, m)
  if (scenario != "null") {
    de <- seq_len(m / 10)
    truth[de] <- TRUE
    delta <- runif(length(de), 1.5, 4) * s[de]
    shift <- matrix(0, length(de), k)
    if (scenario == "shared") {
      shift[, k] <- delta
    } else {
      shift[cbind(seq_along(de), sample.int(k, length(de), replace = TRUE))] <-
        delta * sample(c(-1, 1), length(de), replace = TRUE)
    }
    x[de, ] <- x[de, ] + shift[, as.integer(group)]
  }
  list(x = x, group = group, truth = truth)
}

designs <- list("3+3" = c(3, 3), "5+5" = c(5, 5), "10+10" = c(10, 10), "4+4+4" = c(4, 4, 4),
                "5+5 correlated" = c(5, 5))
rows <- list()
for (d in names(designs)) {
  for (scenario in c("null", "shared", "mixed")) {
    seeds <- seq_len(if (scenario == "null") null_seeds else de_seeds)
    runs <- list(odp_test = NULL, limma = NULL)
    for (seed in seeds) {
      sim <- simulate(designs[[d]], scenario, 1000 * seed + nchar(d), correlated = grepl("correlated", d))
      set.seed(seed)
      fit <- odp_test(sim$x, sim$group, B = B)$table
      lp <- limma_group_p(sim$x, sim$group)
      runs$odp_test <- rbind(runs$odp_test, one_run(fit$p.value, fit$q.value, odp_score(fit), sim$truth))
      runs$limma <- rbind(runs$limma, one_run(lp, p.adjust(lp, "BH"), -lp, sim$truth))
    }
    rows[[length(rows) + 1L]] <- summarise_runs(runs, d, scenario, "odp_test")
  }
}
sims <- do.call(rbind, rows)

# The bar, row by row for odp_test.
bar <- function(r, lim) {
  if (r$method != "odp_test") return("")
  if (r$scenario == "null") {
    p05_ok <- if (grepl("correlated", r$design)) abs(r$p05 - lim$p05) <= 0.01 else r$p05 >= 0.04 && r$p05 <= 0.06
    ok <- p05_ok && r$pi0 >= 0.90 && r$any_q <= ceiling(r$runs / 10)
  } else {
    power_ok <- if (r$scenario == "shared") r$power >= lim$power || r$gain >= -2 * r$gain_se else
      r$power >= 0.9 * lim$power
    ok <- r$fdr <= 0.05 + 2 * r$fdr_se && power_ok
  }
  if (ok) "ok" else "MISSED"
}
sims$bar <- vapply(seq_len(nrow(sims)), function(i) {
  r <- sims[i, ]
  bar(r, sims[sims$design == r$design & sims$scenario == r$scenario & sims$method == "limma", ])
}, "")
cat(sprintf("Simulated studies: %d genes, B = %d, %d null and %d changed-gene runs per design\n\n", m, B,
            null_seeds, de_seeds))
shown <- sims
shown[c("p05", "p01", "pi0", "fdr", "fdr_se")] <- lapply(shown[c("p05", "p01", "pi0", "fdr", "fdr_se")], round, 4)
shown[c("found", "power", "gain", "gain_se")] <- lapply(shown[c("found", "power", "gain", "gain_se")], round, 1)
print(shown, row.names = FALSE)

# ---------------------------------------------------------------- ALL, true and shuffled labels
arrays <- all_arrays()
ax <- arrays$x
labels <- arrays$labels
# One labelling's figures; `seed`, when given, is set first.
count_q <- function(labels, seed = NULL) {
  if (!is.null(seed)) set.seed(seed)
  fit <- odp_test(ax, labels, B = B)
  p <- fit$table$p.value
  lp <- limma_group_p(ax, labels)
  c(odp_test = sum(fit$table$q.value <= 0.05), limma = sum(p.adjust(lp, "BH") <= 0.05), pi0 = fit$pi0,
    odp_qvalue = sum(qvalue::qvalue(p, pi0 = max(0.05, qvalue_pi0(p)))$qvalues <= 0.05),
    p05 = mean(p <= 0.05), limma_p05 = mean(lp <= 0.05))
}
# The true labels' discoveries vary by a few genes with the bootstrap's draws: the
# mean over ten seeds.
truths <- vapply(1:10, function(seed) count_q(labels, seed), c(odp_test = 0, limma = 0, pi0 = 0, odp_qvalue = 0,
                                                               p05 = 0, limma_p05 = 0))
truth <- rowMeans(truths)
shuffled <- t(vapply(seq_len(perms), function(p) {
  set.seed(100 + p)   # draws the labelling, then the bootstrap's keys
  count_q(sample(labels))
}, c(odp_test = 0, limma = 0, pi0 = 0, odp_qvalue = 0, p05 = 0, limma_p05 = 0)))
cat(sprintf("\nALL, BCR/ABL vs NEG: %d probes x %d arrays, B = %d\n", nrow(ax), ncol(ax), B))
cat(sprintf("  true labels: genes at q <= 0.05: odp_test %.1f (%d to %d over %d seeds), limma %d (odp_test pi0 %.3f)\n",
            truth[["odp_test"]], min(truths["odp_test", ]), max(truths["odp_test", ]), ncol(truths),
            truth[["limma"]], truth[["pi0"]]))
cat(sprintf(paste0("  %d shuffled labels: runs with any gene at q <= 0.05: odp_test %d, limma %d;",
                   " most genes in one run: odp_test %d, limma %d\n"),
            perms, sum(shuffled[, "odp_test"] > 0), sum(shuffled[, "limma"] > 0), max(shuffled[, "odp_test"]),
            max(shuffled[, "limma"])))
cat(sprintf("  with fdr = \"qvalue\": true labels %.1f genes; shuffled: %d runs with any gene, most in one run %d\n",
            truth[["odp_qvalue"]], sum(shuffled[, "odp_qvalue"] > 0), max(shuffled[, "odp_qvalue"])))
cat(sprintf("  shuffled labels, mean share of genes with p <= 0.05: odp_test %.4f, limma %.4f\n",
            mean(shuffled[, "p05"]), mean(shuffled[, "limma_p05"])))
cat(sprintf("  bar: %s\n", if (sum(shuffled[, "odp_test"] > 0) <= sum(shuffled[, "limma"] > 0) &&
                               truth[["odp_test"]] >= truth[["limma"]]) "ok" else "MISSED"))
cat(sprintf("\nTotal time: %.1f minutes\n", as.numeric(difftime(Sys.time(), started, units = "mins"))))

# What the calibration benchmarks share: the heavy-tailed gene sds, the figures
# of one run, and the summary of a design's runs against limma. Sourced from the
# repository root (R_LIBS=.Rlib Rscript bench/<benchmark>.R).

# Gene sds from the scaled inverse-chi-square prior that limma::squeezeVar fits to
# the B-cell arrays of Bioconductor's ALL data (d0 = 3, s0^2 = 0.08).
gene_sds <- function(m) sqrt(3 * 0.08 / rchisq(m, 3))

# True genes in the longest list (by score, larger first) whose realised FDR is <= 0.05.
power_at_fdr <- function(score, truth) {
  o <- order(score, decreasing = TRUE)
  ok <- which(cumsum(!truth[o]) / seq_along(o) <= 0.05)
  if (length(ok)) sum(truth[o][seq_len(max(ok))]) else 0
}

# odp_test's ranking as a score, larger first: by p-value, ties by the larger
# statistic, as top_genes sorts (the p-values pool the null within strata, so the
# statistic alone does not rank the genes).
odp_score <- function(table) -order(order(table$p.value, -table$statistic))

# limma's moderated t (two groups) or F p-values for the groups, with the intercept.
limma_group_p <- function(x, group) {
  design <- stats::model.matrix(~group)
  fit <- limma::eBayes(limma::lmFit(x, design))
  limma::topTable(fit, coef = 2:ncol(design), number = Inf, sort.by = "none")$P.Value
}

qvalue_pi0 <- function(p) tryCatch(qvalue::qvalue(p)$pi0, error = function(e) NA_real_)

# The figures of one run from its p-values, q-values and ranking score.
one_run <- function(p, q, score, truth) {
  hit <- q <= 0.05
  c(p05 = mean(p[!truth] <= 0.05), p01 = mean(p[!truth] <= 0.01), pi0 = qvalue_pi0(p),
    any_q = any(hit), fdp = if (any(hit)) sum(hit & !truth) / sum(hit) else 0, found = sum(hit & truth),
    power = power_at_fdr(score, truth))
}

# One row per method of `runs` (a list of matrices of one_run figures, one row per
# run): means, runs with any discovery, the realised FDR with its standard error,
# and for the method `test` its power less limma's, the mean and standard error
# of the paired difference over the runs.
summarise_runs <- function(runs, design, scenario, test) {
  gain <- runs[[test]][, "power"] - runs$limma[, "power"]
  do.call(rbind, lapply(names(runs), function(method) {
    r <- runs[[method]]
    data.frame(design = design, scenario = scenario, method = method, runs = nrow(r), p05 = mean(r[, "p05"]),
               p01 = mean(r[, "p01"]), pi0 = mean(r[, "pi0"]), any_q = sum(r[, "any_q"]), fdr = mean(r[, "fdp"]),
               fdr_se = sd(r[, "fdp"]) / sqrt(nrow(r)), found = mean(r[, "found"]), power = mean(r[, "power"]),
               gain = if (method == test) mean(gain) else NA,
               gain_se = if (method == test) sd(gain) / sqrt(length(gain)) else NA)
  }))
}

# The B-cell arrays of Bioconductor's ALL data, BCR/ABL against NEG: the 2,391 probes
# that pass the usual filter (expressed above log2(100) in a quarter of the arrays,
# IQR above 0.5) x 79 arrays, and the labels.
all_arrays <- function() {
  suppressPackageStartupMessages(library(ALL))
  data("ALL", package = "ALL", envir = environment())
  bcell <- grepl("^B", ALL$BT) & ALL$mol.biol %in% c("BCR/ABL", "NEG")
  all <- ALL[, bcell]
  x <- Biobase::exprs(all)
  list(x = x[rowMeans(x > log2(100)) >= 0.25 & apply(x, 1, IQR) > 0.5, ], labels = droplevels(all$mol.biol))
}

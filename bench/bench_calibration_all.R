# odp_test against limma on many shuffled labellings of real arrays: the B-cell
# arrays of Bioconductor's ALL, BCR/ABL against NEG (2,391 probes x 79 arrays), as in
# bench_calibration.R, whose 100 labellings leave a difference of a run or two to
# chance. Each labelling is a complete null for every gene.
#
#   R_LIBS=.Rlib Rscript bench/bench_calibration_all.R [labellings]   # default 400, about 15 minutes
#
# Figures: runs with any gene at q <= 0.05 (BH) for each method, the runs where only
# one of them reports genes, and the mean share of genes with p <= 0.05 (ideal 0.05),
# for the data as they are and, over a quarter as many labellings, for the same arrays
# with each gene's values shuffled on its own (which keeps each gene's distribution and
# breaks the genes' dependence).
suppressPackageStartupMessages({
  library(lumo)
})
source("bench/calibration-common.R")
args <- commandArgs(trailingOnly = TRUE)
labellings <- if (length(args)) as.integer(args[1L]) else 400L
B <- 100L
options(lumo.threads = parallel::detectCores(), width = 160)
started <- Sys.time()

arrays <- all_arrays()
set.seed(99)
independent <- t(apply(arrays$x, 1L, sample))
one <- function(x, labels) {
  fit <- odp_test(x, labels, B = B)
  lp <- limma_group_p(x, labels)
  c(odp_test = sum(fit$table$q.value <= 0.05), limma = sum(p.adjust(lp, "BH") <= 0.05),
    odp_p05 = mean(fit$table$p.value <= 0.05), limma_p05 = mean(lp <= 0.05))
}
# The shuffled genes need fewer labellings: their p-values are not tied together.
data <- list(arrays = arrays$x, "genes shuffled on their own" = independent)
runs <- Map(function(x, count) {
  t(vapply(seq_len(count), function(i) {
    set.seed(1000L + i)   # draws the labelling, then the bootstrap's keys
    one(x, sample(arrays$labels))
  }, c(odp_test = 0, limma = 0, odp_p05 = 0, limma_p05 = 0)))
}, data, c(labellings, max(1L, labellings %/% 4L)))
cat(sprintf("ALL, BCR/ABL vs NEG: %d probes x %d arrays, B = %d\n", nrow(arrays$x), ncol(arrays$x), B))
print(do.call(rbind, lapply(names(runs), function(data) {
  r <- runs[[data]]
  any <- r[, c("odp_test", "limma"), drop = FALSE] > 0
  data.frame(data = data, labellings = nrow(r), odp_runs = sum(any[, 1]), limma_runs = sum(any[, 2]),
             odp_only = sum(any[, 1] & !any[, 2]), limma_only = sum(any[, 2] & !any[, 1]),
             odp_p05 = round(mean(r[, "odp_p05"]), 4),
             limma_p05 = round(mean(r[, "limma_p05"]), 4))
})), row.names = FALSE)
cat(sprintf("\nTotal time: %.1f minutes\n", as.numeric(difftime(Sys.time(), started, units = "mins"))))

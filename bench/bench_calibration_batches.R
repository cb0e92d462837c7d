# Designs with covariates: calibration, realised FDR and power of odp_test against limma
# with the same design, on simulated studies with batches or pairs and on the bladder
# cancer arrays of Bioconductor's bladderbatch data; and the run time of a covariate
# design against the group-only test.
#
#   R_LIBS=.Rlib Rscript bench/bench_calibration_batches.R          # the full run
#   R_LIBS=.Rlib Rscript bench/bench_calibration_batches.R quick    # fewer seeds, B = 50
#
# Simulated studies: 2,000 genes with the heavy-tailed sds of bench_calibration.R, in
#   "6+6, 3 batches"    two groups, batches unbalanced between them (4+1, 1+4, 1+1),
#   "4+4+4, 2 batches"  three groups, batches 3+1, 2+2, 1+3,
#   "5 pairs"           tumour and normal arrays of 5 patients (a paired design),
# each gene with a batch (patient) effect of sd 2 x its own sd. Scenarios: a complete
# null, and 10 % of the genes changed as in bench_calibration.R (shared direction, mixed).
# odp_test and limma both adjust for the batch (patient); "ignored" rows show each
# without it. The bar: complete null p05 in [0.04, 0.06] and at most 1 run in 10 with a
# gene at q <= 0.05; with changed genes, realised FDR <= 0.05 + 2 se and power at least
# limma's (mean at or above, or a paired gain not below -2 se).
suppressPackageStartupMessages({
  library(lumo)
  library(limma)
})
source("bench/calibration-common.R")
quick <- "quick" %in% commandArgs(trailingOnly = TRUE)
m <- 2000L
B <- if (quick) 50L else 100L
null_seeds <- if (quick) 3L else 20L
de_seeds <- if (quick) 4L else 20L
options(lumo.threads = parallel::detectCores(), width = 160)
started <- Sys.time()

designs <- list(
  "6+6, 3 batches" = list(group = rep(1:2, each = 6), batch = c(1, 1, 1, 1, 2, 3, 1, 2, 2, 2, 2, 3)),
  "4+4+4, 2 batches" = list(group = rep(1:3, each = 4), batch = c(1, 1, 1, 2, 1, 1, 2, 2, 1, 2, 2, 2)),
  "5 pairs" = list(group = rep(1:2, 5), batch = rep(1:5, each = 2)))

simulate <- function(d, scenario, seed) {
  set.seed(seed)
  group <- factor(d$group); batch <- factor(d$batch)
  n <- length(group); k <- nlevels(group)
  s <- gene_sds(m)
  x <- (matrix(rnorm(m * n), m, n) + matrix(rnorm(m * nlevels(batch), sd = 2), m)[, batch]) * s +
    rnorm(m, 8, 1.5)
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
    x[de, ] <- x[de, ] + shift[, group]
  }
  list(x = x, group = group, batch = batch, truth = truth)
}

limma_p <- function(x, group, batch = NULL) {
  design <- if (is.null(batch)) model.matrix(~group) else model.matrix(~batch + group)
  coef <- grep("^group", colnames(design))
  topTable(eBayes(lmFit(x, design)), coef = coef, number = Inf, sort.by = "none")$P.Value
}

rows <- list()
for (name in names(designs)) {
  for (scenario in c("null", "shared", "mixed")) {
    runs <- list()
    for (seed in seq_len(if (scenario == "null") null_seeds else de_seeds)) {
      sim <- simulate(designs[[name]], scenario, 1000 * seed + nchar(name))
      for (adjust in c(TRUE, FALSE)) {
        set.seed(seed)
        fit <- odp_test(sim$x, sim$group, B = B, covariates = if (adjust) data.frame(batch = sim$batch))$table
        lp <- limma_p(sim$x, sim$group, if (adjust) sim$batch)
        tag <- if (adjust) "" else ", ignored"
        runs[[paste0("odp_test", tag)]] <- rbind(runs[[paste0("odp_test", tag)]],
                                                 one_run(fit$p.value, fit$q.value, odp_score(fit), sim$truth))
        runs[[paste0("limma", tag)]] <- rbind(runs[[paste0("limma", tag)]],
                                              one_run(lp, p.adjust(lp, "BH"), -lp, sim$truth))
      }
    }
    rows[[length(rows) + 1L]] <- summarise_runs(runs, name, scenario, "odp_test")
  }
}
res <- do.call(rbind, rows)[c("design", "scenario", "method", "runs", "p05", "any_q", "fdr", "fdr_se",
                                "found", "power", "gain", "gain_se")]
res$bar <- vapply(seq_len(nrow(res)), function(i) {
  r <- res[i, ]
  if (r$method != "odp_test") return("")
  if (r$scenario == "null") {
    ok <- r$p05 >= 0.04 && r$p05 <= 0.06 && r$any_q <= ceiling(r$runs / 10)
  } else {
    lim <- res[res$design == r$design & res$scenario == r$scenario & res$method == "limma", ]
    ok <- r$fdr <= 0.05 + 2 * r$fdr_se && (r$power >= lim$power || r$gain >= -2 * r$gain_se)
  }
  if (ok) "ok" else "MISSED"
}, "")
res[c("p05", "fdr", "fdr_se")] <- lapply(res[c("p05", "fdr", "fdr_se")], round, 4)
res[c("found", "power", "gain", "gain_se")] <- lapply(res[c("found", "power", "gain", "gain_se")], round, 1)
cat(sprintf("Simulated studies with batches: %d genes, B = %d, %d null and %d changed-gene runs per design\n\n",
            m, B, null_seeds, de_seeds))
print(res, row.names = FALSE)

# ---------------------------------------------------------------- bladder cancer arrays
suppressPackageStartupMessages(library(bladderbatch))
data(bladderdata, package = "bladderbatch")
keep <- bladderEset$cancer %in% c("Cancer", "Normal")
bx <- Biobase::exprs(bladderEset)[, keep]
bx <- bx[order(apply(bx, 1, IQR), decreasing = TRUE)[seq_len(5000L)], ]
status <- droplevels(bladderEset$cancer[keep])
bbatch <- factor(bladderEset$batch[keep])
bladder <- t(vapply(c(FALSE, TRUE), function(adjust) {
  set.seed(1)
  fit <- odp_test(bx, status, B = B, covariates = if (adjust) data.frame(batch = bbatch))
  lp <- limma_p(bx, status, if (adjust) bbatch)
  c(odp_test = sum(fit$table$q.value <= 0.05), limma = sum(p.adjust(lp, "BH") <= 0.05))
}, c(odp_test = 0, limma = 0)))
rownames(bladder) <- c("cancer vs normal", "cancer vs normal, batch as covariate")
cat(sprintf("\nBladder cancer arrays: %d cancer and %d normal arrays in %d batches, %d most variable probes, B = %d\n",
            sum(status == "Cancer"), sum(status == "Normal"), nlevels(bbatch), nrow(bx), B))
cat("genes at q <= 0.05:\n")
print(bladder)

# ---------------------------------------------------------------- run time
tm <- function(expr) system.time(expr)[["elapsed"]]
set.seed(3)
mt <- if (quick) 4000L else 10000L
xt <- matrix(rnorm(mt * 20), mt, 20)
gt <- rep(1:2, 10)
ct <- data.frame(batch = factor(rep(1:4, each = 5)), age = rnorm(20))
times <- c(group_only = tm(odp_test(xt, gt, B = 100)), covariates = tm(odp_test(xt, gt, B = 100, covariates = ct)))
cat(sprintf("\nRun time at m = %d, n = 20, B = 100, %d threads: group only %.1f s, with batch + age %.1f s (%.2fx)\n",
            mt, getOption("lumo.threads"), times[["group_only"]], times[["covariates"]],
            times[["covariates"]] / times[["group_only"]]))
cat(sprintf("\nTotal time: %.1f minutes\n", as.numeric(difftime(Sys.time(), started, units = "mins"))))

# Demo analysis of a simulated gene-expression study with lumo's exported
# functions: imputation of masked values, ODP significance, two time-course
# designs, and a clustering of the genes with the optimal leaf ordering. The
# long analyses run as background jobs with progress bars. Plots go to the
# output directory (first argument, default demo-output).
library(lumo)
args <- commandArgs(trailingOnly = TRUE)
outdir <- if (length(args) >= 1) args[1] else "demo-output"
dir.create(outdir, showWarnings = FALSE, recursive = TRUE)
set.seed(20261206)


# Runs an analysis started with background = TRUE, with a progress bar.
in_background <- function(label, job) {
  cat(label, "\n")
  print(job)
  wait(job, bar = TRUE)
  result(job)
}

# The ten most significant genes beside the simulated truth.
print_top <- function(fit, truth, truthname) {
  top <- top_genes(fit, 10)
  top[[truthname]] <- truth[top$gene]
  print(top, row.names = FALSE, digits = 4)
  p <- fit$table$p.value
  cat(sprintf("Genes with p <= 0.01: %d (of which %s: %d)\n\n", sum(p <= 0.01),
              truthname, sum(p <= 0.01 & truth[fit$table$gene])))
}

png_file <- function(name, ...) {
  path <- file.path(outdir, name)
  png(path, type = "cairo", ...)
  path
}

# ---------------------------------------------------------------- the study
m <- 2000; n1 <- 10; n2 <- 10; n <- n1 + n2
grp <- factor(rep(c("control", "treated"), c(n1, n2)))
genes <- sprintf("gene%04d", seq_len(m))
de <- setNames(seq_len(m) <= m / 10, genes)
# Genes come in co-expressed modules (a shared profile over the arrays plus
# noise), which is what lets neighbouring genes fill in missing values.
module <- sample.int(40, m, replace = TRUE)
profile <- matrix(rnorm(40 * n), 40, n)
x <- profile[module, ] + matrix(rnorm(m * n, sd = 0.5), m, n)
x[de, grp == "treated"] <- x[de, grp == "treated"] + rnorm(sum(de), 1.5, 0.3)
dimnames(x) <- list(genes, paste0(grp, sequence(c(n1, n2))))
cat(sprintf("Simulated study: %d genes, two groups of %d arrays, %d differentially expressed\n\n",
            m, n1, sum(de)))

# ---------------------------------------------------------------- imputation
miss <- matrix(runif(m * n) < 0.05, m, n)
masked <- x
masked[miss] <- NA
filled <- impute_knn(masked, k = 10)
rowmean_rmse <- sqrt(mean((rowMeans(masked, na.rm = TRUE)[row(x)[miss]] - x[miss])^2))
cat(sprintf(paste("kNN imputation (k = 10) of %d masked entries: RMSE %.3f (RMSE of row means %.3f);",
                  "%d filled with column means\n\n"),
            sum(miss), sqrt(mean((filled[miss] - x[miss])^2)), rowmean_rmse,
            nrow(attr(filled, "mean_filled"))))
x <- filled

# ---------------------------------------------------------------- ODP
fit <- in_background("ODP statistics with 20 bootstrap null data sets",
                     odp_test(x, grp, B = 20, background = TRUE))
print(summary(fit))
print_top(fit, de, "truly.DE")
path <- png_file("odp_pvalues.png", width = 800, height = 500)
plot(fit)
invisible(dev.off())
cat(sprintf("p-value histogram written to %s\n\n", path))

# ---------------------------------------------------------------- time course
# Independent samples: two arrays at each of six time points.
tpts <- rep(1:6, each = 2); mt <- 1000
trend <- setNames(seq_len(mt) <= 30, sprintf("tc%04d", seq_len(mt)))
y <- matrix(rnorm(mt * length(tpts)), mt, length(tpts), dimnames = list(names(trend), NULL))
y[trend, ] <- y[trend, ] + outer(rnorm(sum(trend), 1, 0.2), (tpts - 3.5) / 1.5)
tc <- in_background(sprintf("Time course: %d genes, 6 time points, 50 bootstrap null sets", mt),
                    timecourse_test(y, tpts, df = 2, B = 50, background = TRUE))
print_top(tc, trend, "trend")

# Longitudinal: six individuals at four times, each with its own baseline (a
# random intercept, each gene fitted by maximum likelihood).
N <- 6L; n_times <- 4L; ml <- 500L
ind <- rep(seq_len(N), each = n_times); tl <- rep(seq_len(n_times) - 1, N)
trendl <- setNames(seq_len(ml) <= 20, sprintf("long%04d", seq_len(ml)))
yl <- matrix(rnorm(ml * N * n_times), ml, N * n_times, dimnames = list(names(trendl), NULL)) +
  matrix(rnorm(ml * N, sd = 1.5), ml, N)[, ind]
yl[trendl, ] <- yl[trendl, ] + outer(rnorm(sum(trendl), 1.2, 0.2), (tl - 1.5) / 1.5)
long <- in_background(sprintf(paste("Longitudinal time course with random intercepts: %d genes,",
                                    "%d individuals x %d times, 20 bootstrap sets"),
                              ml, N, n_times),
                      timecourse_test(yl, tl, individual = ind, df = 1, intercept = "random",
                                      B = 20, background = TRUE))
print(summary(long))
print_top(long, trendl, "trend")

# ---------------------------------------------------------------- clustering
sel <- order(-apply(x, 1, var))[1:300]
xs <- x[sel, ]
hc <- in_background(sprintf("Clustering the %d most variable genes with the optimal leaf ordering", nrow(xs)),
                    cluster_rows(xs, ordering = "optimal", background = TRUE))
print(hc)
cat("Genes per cluster when the tree is cut into 8 clusters:\n")
print(table(cutree(hc, k = 8)))
ord <- hc$order
cat(sprintf("Sum of distances between neighbouring genes: %.1f ordered, %.1f unordered\n",
            sum(sqrt(rowSums(diff(xs[ord, ])^2))),
            sum(sqrt(rowSums(diff(xs[cluster_rows(xs)$order, ])^2)))))
path <- png_file("heatmap.png", width = 900, height = 1200)
heatmap(xs, Rowv = as.dendrogram(hc), Colv = NA, scale = "none", labRow = NA,
        main = "Most variable genes, optimal leaf ordering")
invisible(dev.off())
cat(sprintf("Heatmap with dendrogram written to %s\n", path))

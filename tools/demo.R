# Demo analysis of a simulated gene-expression study with lumo:
# imputation of masked values, ODP significance, time-course null F statistics,
# and a clustering of the genes with the optimal leaf ordering.
library(lumo)
args <- commandArgs(trailingOnly = TRUE)
outdir <- if (length(args) >= 1) args[1] else "demo-output"
dir.create(outdir, showWarnings = FALSE, recursive = TRUE)
set.seed(20261206)

has <- function(name) !is.null(tryCatch(getNativeSymbolInfo(name, "lumo"), error = function(e) NULL))
phase <- c("computing distances", "merging clusters", "ordering: costs", "ordering: best pair",
           "ordering: orienting", "ordering by weight", "ODP statistics", "ODP statistics",
           "time-course statistics")

# Polls a background job with a text progress bar until it is done.
wait_for_job <- function(id, label) {
  cat(label, "\n")
  bar <- txtProgressBar(min = 0, max = 1, style = 3)
  repeat {
    p <- .Call("GetProgressValues", id, PACKAGE = "lumo")
    if (p$max > 0) setTxtProgressBar(bar, min(1, p$current / p$max))
    if (p$done == 1 || p$canceled == 1) break
    Sys.sleep(0.05)
  }
  setTxtProgressBar(bar, 1)
  close(bar)
  invisible(p)
}

# Bootstrap p-value of each observed statistic: the share of null statistics
# at or above it (one sort of the nulls instead of a scan per gene).
boot_pvalues <- function(obs, null) {
  null <- sort(null)
  (length(null) - findInterval(obs, null, left.open = TRUE)) / length(null)
}

# Prints the ten genes with the largest statistic and their p-values.
print_top <- function(title, stat, statname, pval, truth, truthname) {
  top <- order(-stat)[1:10]
  cat(sprintf("\nTop genes by %s:\n", title))
  df <- data.frame(gene = top, stat = signif(stat[top], 4), p.value = pval[top], truth = truth[top])
  names(df)[c(2, 4)] <- c(statname, truthname)
  print(df, row.names = FALSE)
}

proj <- function(X) X %*% solve(crossprod(X), t(X))

# ---------------------------------------------------------------- the study
m <- 2000; n1 <- 10; n2 <- 10; n <- n1 + n2
grp <- rep(1:2, c(n1, n2))
de <- seq_len(m) <= m / 10
# Genes come in co-expressed modules (a shared profile over the arrays plus
# noise), which is what lets neighbouring genes fill in missing values.
module <- sample.int(40, m, replace = TRUE)
profile <- matrix(rnorm(40 * n), 40, n)
x <- profile[module, ] + matrix(rnorm(m * n, sd = 0.5), m, n)
x[de, grp == 2] <- x[de, grp == 2] + rnorm(sum(de), 1.5, 0.3)
cat(sprintf("Simulated study: %d genes, two groups of %d arrays, %d differentially expressed\n\n",
            m, n1, sum(de)))

# ---------------------------------------------------------------- imputation
if (has("knnimp")) {
  miss <- matrix(runif(m * n) < 0.05, m, n)
  xm <- x; xm[miss] <- 0
  kn <- 10L
  out <- .Fortran("knnimp", x = as.double(xm), ximp = as.double(xm), p = as.integer(m), n = as.integer(n),
                  imiss = as.integer(miss), irmiss = as.integer(rowSums(miss) > 0), kn = kn,
                  workp = double(m), workn = double(max(n, kn + 1)), iworkp = integer(max(m, kn + 1)),
                  iworkn = integer(n), PACKAGE = "lumo")
  ximp <- matrix(out$ximp, m, n)
  rmse <- sqrt(mean((ximp[miss] - x[miss])^2))
  cat(sprintf("kNN imputation (k = %d) of %d masked entries: RMSE %.3f (RMSE of row means %.3f)\n\n",
              kn, sum(miss), rmse,
              sqrt(mean((rowMeans(ifelse(miss, NA, x), na.rm = TRUE)[row(x)[miss]] - x[miss])^2))))
  x <- ximp
}

# ---------------------------------------------------------------- ODP
if (has("RunODP")) {
  B <- 20L; k <- 2L
  xc <- x - rowMeans(x)                      # null model: mean zero
  ID <- sapply(1:k, function(g) as.integer(grp == g))
  nGrp <- as.integer(colSums(ID))
  xk <- xc %*% ID
  mu <- sweep(xk, 2, nGrp, "/")
  res <- xc - mu %*% t(ID)                   # residuals of the two-group model
  sigma <- sqrt(rowSums(res^2) / (n - k))
  sigma0 <- sqrt(rowSums(xc^2) / (n - 1))
  vv <- t(replicate(B, sample.int(n, n, replace = TRUE) - 1L))
  arglist <- vector("list", 24)
  arglist[[1]] <- B
  arglist[[8]] <- rowSums(xc^2); arglist[[9]] <- as.double(xk); arglist[[10]] <- as.double(mu)
  arglist[[11]] <- sigma; arglist[[12]] <- sigma0
  arglist[[13]] <- as.double(mu); arglist[[14]] <- sigma; arglist[[15]] <- sigma0
  arglist[[16]] <- as.integer(ID); arglist[[17]] <- nGrp; arglist[[18]] <- as.double(res)
  arglist[[19]] <- as.integer(vv); arglist[[20]] <- 0:(m - 1)
  arglist[[21]] <- as.integer(m); arglist[[22]] <- as.integer(n); arglist[[23]] <- k
  arglist[[24]] <- as.integer(m)
  for (i in 2:7) arglist[[i]] <- 0L
  id <- .Call("RunODP", arglist, TRUE, PACKAGE = "lumo")
  wait_for_job(id, sprintf("ODP statistics with %d bootstrap null data sets (background job %d)", B, id))
  r <- .Call("GetODPResult", id, PACKAGE = "lumo")
  .Call("DeleteThread", id, PACKAGE = "lumo")
  pval <- boot_pvalues(r$lr, r$lr0)
  print_top("ODP statistic", r$lr, "odp", pval, de, "truly.DE")
  cat(sprintf("Genes with p <= 0.01: %d (of which differentially expressed: %d)\n",
              sum(pval <= 0.01), sum(pval <= 0.01 & de)))
  png(file.path(outdir, "odp_pvalues.png"), width = 800, height = 500, type = "cairo")
  hist(pval, breaks = 40, col = "grey80", main = "ODP bootstrap p-values", xlab = "p-value")
  dev.off()
  cat(sprintf("p-value histogram written to %s\n\n", file.path(outdir, "odp_pvalues.png")))
}

# ---------------------------------------------------------------- time course
if (has("RunTimecourseIndep")) {
  tpts <- rep(1:6, each = 2); nt <- length(tpts); mt <- 1000
  trend <- seq_len(mt) <= 30
  y <- matrix(rnorm(mt * nt), mt, nt)
  y[trend, ] <- y[trend, ] + outer(rnorm(sum(trend), 1, 0.2), (tpts - 3.5) / 1.5)
  H1 <- proj(cbind(1, poly(tpts, 2)))
  H0 <- proj(matrix(1, nt, 1))
  fit1 <- y %*% t(H1); fit0 <- y %*% t(H0)
  Fobs <- rowSums((y - fit0)^2) / rowSums((y - fit1)^2) - 1
  B <- 50L
  v <- t(replicate(B, sample.int(nt, nt, replace = TRUE) - 1L))
  arglist <- rep(list(0L), 16)
  arglist[[1]] <- B; arglist[[5]] <- as.integer(mt); arglist[[6]] <- as.integer(nt)
  arglist[[11]] <- as.double(fit0); arglist[[12]] <- as.integer(v)
  arglist[[13]] <- as.double(H0); arglist[[14]] <- as.double(H1); arglist[[16]] <- as.double(y - fit1)
  id <- .Call("RunTimecourseIndep", arglist, TRUE, PACKAGE = "lumo")
  wait_for_job(id, sprintf("Time course: %d genes, 6 time points, %d bootstrap null sets (job %d)", mt, B, id))
  F0 <- .Call("GetTimecourseResult", id, PACKAGE = "lumo")$F
  .Call("DeleteThread", id, PACKAGE = "lumo")
  pval <- boot_pvalues(Fobs, F0)
  print_top("time-course F statistic", Fobs, "F", pval, trend, "trend")
  cat("\n")
}

# Longitudinal study: each individual has its own baseline (a random
# intercept), fitted by EM for the observed statistics (EMFitR) and inside
# every bootstrap iteration of the background job.
if (has("RunTimecourseInt") && has("EMFitR")) {
  N <- 6L; Tp <- 4L; nl <- N * Tp; ml <- 500L
  ind <- rep(seq_len(N), each = Tp); tl <- rep(seq_len(Tp) - 1, N)
  trendl <- seq_len(ml) <= 20
  yl <- matrix(rnorm(ml * nl), ml, nl) + matrix(rnorm(ml * N, sd = 1.5), ml, N)[, ind]
  yl[trendl, ] <- yl[trendl, ] + outer(rnorm(sum(trendl), 1.2, 0.2), (tl - 1.5) / 1.5)
  H1 <- proj(cbind(1, tl)); H0 <- proj(matrix(1, nl, 1))
  eps <- 1e-3
  emfit <- function(H) {
    r <- .C("EMFitR", as.double(yl), as.double(H), as.integer(ind), 0:(nl - 1L), eps,
            fit = double(ml * nl), alpha = double(ml * nl), ml, as.integer(nl), N,
            rep(Tp, N), iter = 0L, PACKAGE = "lumo")
    list(fit = matrix(r$fit, ml), alpha = matrix(r$alpha, ml), iter = r$iter)
  }
  e1 <- emfit(H1); e0 <- emfit(H0)
  res1 <- yl - e1$fit - e1$alpha
  Fobs <- rowSums((yl - e0$fit - e0$alpha)^2) / rowSums(res1^2) - 1
  B <- 20L
  arglist <- rep(list(0L), 27)
  arglist[[1]] <- B; arglist[[5]] <- ml; arglist[[6]] <- as.integer(nl); arglist[[10]] <- as.integer(ind)
  arglist[[11]] <- as.double(e0$fit); arglist[[13]] <- as.double(H0); arglist[[14]] <- as.double(H1)
  arglist[[17]] <- as.double(res1); arglist[[20]] <- as.double(e1$alpha); arglist[[21]] <- eps
  arglist[[23]] <- N; arglist[[26]] <- 0:(nl - 1L); arglist[[27]] <- rep(Tp, N)
  arglist[[12]] <- as.integer(t(replicate(B, sample.int(nl, nl, replace = TRUE) - 1L)))
  # Intercepts are resampled whole individuals at a time.
  arglist[[24]] <- as.integer(t(replicate(B, rep(sample.int(N, N, replace = TRUE) - 1L, each = Tp) * Tp)))
  id <- .Call("RunTimecourseInt", arglist, TRUE, PACKAGE = "lumo")
  wait_for_job(id, sprintf("Longitudinal time course with random intercepts: %d genes, %d individuals x %d times, %d bootstrap sets (job %d)",
                           ml, N, Tp, B, id))
  F0 <- .Call("GetTimecourseResult", id, PACKAGE = "lumo")$F
  .Call("DeleteThread", id, PACKAGE = "lumo")
  pval <- boot_pvalues(Fobs, F0)
  cat(sprintf("\nEM fits of the observed data: %d and %d iterations", e1$iter - 1L, e0$iter - 1L))
  print_top("longitudinal F statistic", Fobs, "F", pval, trendl, "trend")
  cat(sprintf("Genes with p <= 0.01: %d (of which with a trend: %d)\n\n", sum(pval <= 0.01),
              sum(pval <= 0.01 & trendl)))
}

# ---------------------------------------------------------------- clustering
if (has("StartClusteringThread")) {
  sel <- order(-apply(x, 1, var))[1:300]
  xs <- x[sel, ]
  nr <- nrow(xs)
  id <- .Call("StartClusteringThread", as.double(xs), nr, ncol(xs), 2L, 0L, PACKAGE = "lumo")
  wait_for_job(id, sprintf("Clustering the %d most variable genes with the optimal leaf ordering (job %d)", nr, id))
  merge <- integer(2 * (nr - 1)); height <- double(nr - 1); ord <- integer(nr)
  .Call("FinishClusteringThread", id, merge, height, ord, PACKAGE = "lumo")
  .Call("DeleteThread", id, PACKAGE = "lumo")
  # Centroid heights need not grow towards the root; for drawing, each merge
  # is raised to the height of its highest child so that branches never cross.
  mm <- matrix(merge, ncol = 2)
  shown <- height
  for (i in seq_along(shown)) {
    kids <- mm[i, mm[i, ] > 0]
    if (length(kids)) shown[i] <- max(shown[i], shown[kids])
  }
  hc <- structure(list(merge = mm, height = shown, order = ord + 1L,
                       labels = as.character(sel), method = "centroid", dist.method = "euclidean"),
                  class = "hclust")
  adj <- sum(sqrt(rowSums(diff(xs[ord + 1L, ])^2)))
  cat(sprintf("Sum of distances between neighbouring genes in the ordered tree: %.1f\n", adj))
  png(file.path(outdir, "heatmap.png"), width = 900, height = 1200, type = "cairo")
  heatmap(xs, Rowv = as.dendrogram(hc), Colv = NA, scale = "none", labRow = NA,
          main = "Most variable genes, optimal leaf ordering")
  dev.off()
  cat(sprintf("Heatmap with dendrogram written to %s\n", file.path(outdir, "heatmap.png")))
}

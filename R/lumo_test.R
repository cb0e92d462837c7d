#' Results of odp_test and timecourse_test
#'
#' \code{\link{odp_test}} and \code{\link{timecourse_test}} return a \code{lumo_test}
#' object: a list with
#' \describe{
#'   \item{\code{table}}{a data frame with one row per gene, in the order of the rows of
#'     the data: \code{gene} (the row names, or row numbers), the effect sizes,
#'     \code{statistic}, \code{p.value} and \code{q.value}. The effect sizes are on the
#'     scale of the data as given. For \code{odp_test}: \code{mean}, the gene's mean over
#'     all arrays, and with two groups \code{logFC}, the mean of the second group minus
#'     that of the first (for log-expression data the log fold change), with three or
#'     more groups one column \code{mean.<level>} per group with its mean. For
#'     \code{timecourse_test}: \code{range}, the range (largest minus smallest value)
#'     over the observed times of the gene's fitted time curve;}
#'   \item{\code{effect}}{the column(s) of \code{table} the volcano plot draws: \code{"logFC"},
#'     \code{"range"} or the \code{mean.<level>} columns, whose range is drawn;}
#'   \item{\code{null}}{the pooled bootstrap null statistics;}
#'   \item{\code{strata}}{(\code{odp_test}) the strata the null is pooled within, or
#'     \code{NULL} when it is pooled whole: a list with the stratum of each gene
#'     (\code{gene}) and of each null statistic (\code{null}), and the cuts of the
#'     residual sums of squares that define them (\code{cuts});}
#'   \item{\code{pi0}}{the estimated share of truly null genes (from \pkg{qvalue});}
#'   \item{\code{method}, \code{design}, \code{B}, \code{fdr}}{the test, a short description
#'     of its design, the number of bootstrap iterations and the FDR step of the q-values;}
#'   \item{\code{call}}{the call;}
#'   \item{\code{profile}}{(\code{timecourse_test} only) what the profile plot draws:
#'     the data, times, individuals, spline basis and covariate columns.}
#' }
#' Each p-value is (1 + the number of pooled null statistics at or above the gene's
#' statistic) / (1 + the number of null statistics), counting those of the gene's stratum
#' when there are strata, so it is never 0 and a gene above every null statistic gets
#' the smallest p-value the bootstrap can give. With
#' \code{B = 0} there are no null statistics and p- and q-values are \code{NA}.
#'
#' The q-values follow the \code{fdr} argument of the test. \code{"BH"} (the default)
#' gives Benjamini-Hochberg adjusted p-values (\code{p.adjust(p, "BH")}), whose FDR
#' control does not rest on an estimate of the share of null genes. \code{"qvalue"} gives
#' Storey's q-values from \code{qvalue::qvalue}, which gain power by the estimated
#' share of null genes pi0; that estimate assumes a flat p-value density for null
#' genes, and on real arrays an array-wide effect that splits the groups can tilt that
#' density and pull pi0 far below 1, with many false discoveries. \code{pi0} is
#' qvalue's estimate in both cases; when it fails (as it does on a handful of p-values)
#' the conservative \code{pi0 = 1} is used.
#'
#' \code{top_genes} returns the \code{n} most significant genes: the rows of the table
#' sorted by p-value, ties broken by the larger statistic. \code{summary} counts the
#' genes below common p- and q-value cut-offs. \code{plot} draws a histogram of the
#' p-values with the estimated null level \code{pi0} (\code{type = "histogram"}, the
#' default), or a volcano plot (\code{type = "volcano"}): each gene's effect against
#' -log10 of its p-value, the genes with q <= 0.05 in red. The effect is \code{logFC} for
#' two groups, the range of the group means (largest minus smallest) for three or more,
#' and \code{range} for time courses. For a time course, \code{type = "profile"} draws
#' the data of each of \code{genes} against time with the fitted curve: the
#' least-squares fit of the spline of time with the covariates and a baseline per
#' individual (one line per individual, in the individual's colour), or an intercept
#' for independent samples; covariates enter at each individual's (or the study's)
#' average.
#'
#' @param x,object,fit A \code{lumo_test}.
#' @param n Number of genes.
#' @param type The plot: \code{"histogram"}, \code{"volcano"} or, for a time course,
#'   \code{"profile"}.
#' @param genes For \code{type = "profile"}: the genes to draw, by row number or name
#'   (default: the four most significant), one panel each.
#' @param ... Passed on to \code{\link[graphics]{hist}} (histogram) or
#'   \code{\link[graphics]{plot.default}} (volcano, profile) by \code{plot}; otherwise
#'   ignored.
#' @return \code{top_genes}: a data frame. \code{summary}: a \code{summary.lumo_test}
#'   object with the counts. \code{as.data.frame}: the per-gene table.
#' @name lumo_test
#' @examples
#' set.seed(1)
#' x <- matrix(rnorm(300 * 6), 300, 6)
#' x[1:20, 4:6] <- x[1:20, 4:6] + 3
#' fit <- odp_test(x, group = rep(1:2, each = 3), B = 20)
#' fit
#' top_genes(fit, 5)
#' summary(fit)
#' plot(fit)
#' plot(fit, type = "volcano")
NULL

# Builds the result from the observed and pooled null statistics. `effects` is a
# named list of the effect columns, placed after the gene; `effect` names the
# one(s) the volcano plot draws; `strata` (from rss_strata) pools the null within strata.
new_lumo_test <- function(method, design, statistic, null, genes, B, fdr, call, effects, effect, strata = NULL) {
  p <- bootstrap_pvalues(statistic, null, strata)
  q <- fdr_qvalues(p, fdr)
  table <- data.frame(c(list(gene = genes), lapply(effects, unname),
                        list(statistic = statistic, p.value = p, q.value = q$q)),
                      stringsAsFactors = FALSE, check.names = FALSE)
  structure(list(table = table, effect = effect, null = null, strata = strata, pi0 = q$pi0, method = method,
                 design = design, B = as.integer(B), fdr = fdr, call = call),
            class = "lumo_test")
}

# Gene labels: the row names, else the row numbers.
gene_names <- function(x) {
  if (is.null(rownames(x))) as.character(seq_len(nrow(x))) else rownames(x)
}

# The FDR step as printed (results saved before it was recorded used qvalue).
fdr_label <- function(fdr) {
  if (is.null(fdr) || fdr == "qvalue") "qvalue" else "Benjamini-Hochberg"
}

check_lumo_test <- function(fit, arg = "fit") {
  if (!inherits(fit, "lumo_test")) stop("'", arg, "' must be a lumo_test result", call. = FALSE)
}

#' @rdname lumo_test
#' @export
top_genes <- function(fit, n = 10) {
  check_lumo_test(fit)
  n <- check_count(n, "n")
  t <- fit$table
  o <- order(t$p.value, -t$statistic, na.last = TRUE)
  out <- t[o[seq_len(min(n, length(o)))], , drop = FALSE]
  rownames(out) <- NULL
  out
}

#' @rdname lumo_test
#' @export
print.lumo_test <- function(x, ...) {
  t <- x$table
  cat(sprintf("%s: %d genes, %s, B = %d\n", x$method, nrow(t), x$design, x$B))
  if (!is.null(x$strata))
    cat(sprintf("null pooled within %d strata of residual variance\n", length(x$strata$cuts) - 1L))
  if (x$B > 0L && nrow(t) > 0L) {
    cat(sprintf("pi0 = %.3f; genes with q <= 0.05 (%s): %d\n", x$pi0, fdr_label(x$fdr),
                sum(t$q.value <= 0.05, na.rm = TRUE)))
  }
  cat("Top genes:\n")
  print(top_genes(x, 6), row.names = FALSE, digits = 4)
  invisible(x)
}

#' @rdname lumo_test
#' @export
summary.lumo_test <- function(object, ...) {
  cut <- c(0.001, 0.01, 0.05, 0.1, 0.2)
  t <- object$table
  counts <- rbind(p.value = vapply(cut, function(a) sum(t$p.value <= a, na.rm = TRUE), 0),
                  q.value = vapply(cut, function(a) sum(t$q.value <= a, na.rm = TRUE), 0))
  colnames(counts) <- paste("<=", cut)
  structure(list(method = object$method, design = object$design, genes = nrow(t), B = object$B,
                 pi0 = object$pi0, fdr = object$fdr, counts = counts),
            class = "summary.lumo_test")
}

#' @rdname lumo_test
#' @export
print.summary.lumo_test <- function(x, ...) {
  cat(sprintf("%s: %d genes, %s, B = %d, pi0 = %.3f\n", x$method, x$genes, x$design, x$B, x$pi0))
  cat(sprintf("Genes at or below each cut-off (q-values: %s):\n", fdr_label(x$fdr)))
  print(x$counts)
  invisible(x)
}

#' @rdname lumo_test
#' @export
plot.lumo_test <- function(x, type = c("histogram", "volcano", "profile"), genes = NULL, ...) {
  type <- check_choice(type, "type", c("histogram", "volcano", "profile"))
  if (type == "profile") return(profile_plot(x, genes, ...))
  p <- x$table$p.value
  if (!any(!is.na(p))) stop("there are no p-values to plot (B = 0)", call. = FALSE)
  if (type == "volcano") return(volcano_plot(x, ...))
  args <- utils::modifyList(list(x = p[!is.na(p)], breaks = seq(0, 1, by = 0.05), freq = FALSE,
                                 col = "grey80", main = paste(x$method, "p-values"),
                                 xlab = "p-value"),
                            list(...))
  do.call(graphics::hist, args)
  if (is.finite(x$pi0)) graphics::abline(h = x$pi0, lty = 2, col = "red")
  invisible(x)
}

# The data of the chosen genes against time, with the fitted curves.
profile_plot <- function(fit, genes, ...) {
  pr <- fit$profile
  if (is.null(pr)) stop("type = \"profile\" needs a time-course result of this version of lumo", call. = FALSE)
  t <- fit$table
  rows <- if (is.null(genes)) {
    utils::head(order(t$p.value, -t$statistic, na.last = TRUE), 4L)
  } else if (is.character(genes)) {
    match(genes, t$gene)
  } else if (is.numeric(genes)) {
    ifelse(genes == round(genes) & genes >= 1 & genes <= nrow(t), genes, NA)
  } else {
    NA
  }
  if (!length(rows) || anyNA(rows))
    stop("'genes' must name genes of the table or give row numbers between 1 and ", nrow(t), call. = FALSE)
  n <- length(pr$time)
  ind <- if (is.null(pr$individual)) factor(rep(1L, n)) else pr$individual
  S <- unclass(pr$spline)[, seq_len(ncol(pr$spline)), drop = FALSE]
  X <- cbind(if (nlevels(ind) > 1L) stats::model.matrix(~ ind - 1) else matrix(1, n, 1L), pr$covariates, S)
  grid <- seq(min(pr$time), max(pr$time), length.out = 101L)
  Sg <- stats::predict(pr$spline, grid)
  cols <- if (nlevels(ind) > 1L) grDevices::hcl.colors(nlevels(ind), "Dark 3") else "black"
  old <- graphics::par(mfrow = grDevices::n2mfrow(length(rows)))
  on.exit(graphics::par(old))
  for (r in rows) {
    y <- pr$x[r, ]
    beta <- qr.coef(qr(X), y)
    beta[is.na(beta)] <- 0
    b <- beta[seq_len(nlevels(ind))]
    cov <- if (is.null(pr$covariates)) 0 else
      tapply(drop(pr$covariates %*% beta[nlevels(ind) + seq_len(ncol(pr$covariates))]), ind, mean)
    curves <- outer(drop(Sg %*% utils::tail(beta, ncol(S))), b + cov, "+")
    args <- utils::modifyList(list(x = pr$time, y = y, pch = 19, col = cols[as.integer(ind)],
                                   ylim = range(y, curves), main = sprintf("%s (q = %.3g)", t$gene[r], t$q.value[r]),
                                   xlab = "time", ylab = "expression"),
                              list(...))
    do.call(graphics::plot.default, args)
    graphics::matlines(grid, curves, lty = 1, col = cols)
  }
  invisible(fit)
}

# Each gene's effect against -log10(p), the genes with q <= 0.05 highlighted.
volcano_plot <- function(fit, ...) {
  t <- fit$table
  cols <- fit$effect
  if (is.null(cols) || !all(cols %in% names(t)))
    stop("'fit' has no effect sizes to plot; rerun the test with this version of lumo", call. = FALSE)
  if (length(cols) == 1L) {
    effect <- t[[cols]]
    label <- switch(cols, logFC = "logFC (mean of the second group - mean of the first)",
                    range = "range of the fitted time curve", cols)
  } else {
    means <- as.matrix(t[cols])
    effect <- apply(means, 1L, max) - apply(means, 1L, min)
    label <- "range of the group means (largest - smallest)"
  }
  ok <- is.finite(effect) & !is.na(t$p.value)
  hit <- !is.na(t$q.value) & t$q.value <= 0.05
  args <- utils::modifyList(list(x = effect[ok], y = -log10(t$p.value[ok]), pch = 20,
                                 col = ifelse(hit[ok], "red", "grey50"), main = paste(fit$method, "volcano plot"),
                                 xlab = label, ylab = "-log10(p-value)"),
                            list(...))
  do.call(graphics::plot.default, args)
  graphics::mtext(sprintf("red: q <= 0.05 (%d genes)", sum(hit)), side = 3, line = 0.3, cex = 0.8)
  invisible(fit)
}

#' @rdname lumo_test
#' @param row.names,optional Ignored.
#' @export
as.data.frame.lumo_test <- function(x, row.names = NULL, optional = FALSE, ...) { # nolint: object_name_linter.
  x$table
}

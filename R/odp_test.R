#' Differential expression with the optimal discovery procedure
#'
#' Tests every gene for a difference between groups of arrays with the optimal
#' discovery procedure (ODP): the statistic of a gene is the sum of its likelihoods under
#' the fitted alternative models of all genes, over the sum of its likelihoods under the
#' null models of the null genes. Its significance comes from bootstrap null data sets.
#'
#' Each gene's overall mean is removed first, so its null model is a normal
#' distribution with mean zero, and its alternative model has one mean per group. Their
#' standard deviations come from the residual variances of the two fits (on n - 1 and
#' n - k degrees of freedom). With \code{moderate = TRUE} (the default) these are the
#' empirical-Bayes posterior variances of \code{limma::squeezeVar}, which shrinks each
#' gene's variance towards a scaled inverse chi-square prior fitted across the genes;
#' with \code{moderate = FALSE} they are the genes' own. The observed statistic uses all
#' genes as references in the numerator and the null genes in the denominator.
#'
#' @section Covariates:
#' With \code{covariates} (a batch, a patient in a paired design, sex, age) the null
#' model of each gene is the least-squares fit of the intercept and the covariates, and
#' the alternative adds the group: each gene's data enter as the residuals of its null
#' fit, its alternative model has one fitted mean per array (the alternative fit less
#' the null fit), and the residual variances are on n - p0 and n - p1 degrees of
#' freedom (p0, p1 the columns of the two designs). A paired design is a blocking
#' factor, \code{covariates = ~ patient}. A design that cannot be fitted, with a
#' covariate that adds nothing to the ones before it or a group that the covariates
#' determine, is refused with a message naming the terms. The null data of the
#' bootstrap are drawn in the space of the null fit's residuals, as below.
#'
#' @section The bootstrap null:
#' In each of the \code{B} iterations every null gene gets null data: n normal draws,
#' centred, with a variance drawn from the posterior of that gene's residual variance
#' (the prior above, updated by the gene's residual sum of squares on n - k degrees of
#' freedom; without moderation the gene's own scaled inverse chi-square). Its null
#' statistic sums over the fixed models of all other genes, as the observed one does,
#' and over its own models refitted to the null data, just as the observed data are
#' summed over the models fitted to them.
#'
#' This null was chosen by simulation (\code{bench/bench_calibration.R}) with
#' heavy-tailed gene variances like those of real arrays, in designs with 3 + 3, 5 + 5,
#' 10 + 10 and 4 + 4 + 4 arrays. Resampling the arrays of so few columns with
#' replacement repeats arrays and puts a floor under the p-values; leaving each gene's
#' own fitted model in place in the null lets a gene that stands alone look significant;
#' and rescaling the null data to the observed variance gives it the wrong spread at small
#' n. With the null above, p-values of null genes are uniform in every design tried, and
#' the share of genes with p <= 0.05 under a complete null stays within 0.04 to 0.06.
#'
#' The null data come from random streams, one per gene and iteration, seeded by keys
#' drawn with R's random number generator: \code{set.seed} reproduces a run, and the
#' result does not depend on the number of threads or on \code{BPPARAM}.
#'
#' @section Pooling the null within strata of variance:
#' The statistic's null distribution depends on a gene's residual variance: a gene whose
#' variance is far from most genes' is fitted by few reference models, and its
#' statistic behaves like its own likelihood ratio, whose tail is heavier than that of
#' the pooled null statistics. So the null statistics are pooled within strata. The
#' null genes are cut into five strata of equal size by the residual sum of squares of
#' their alternative fit; each gene joins the stratum its residual sum of squares falls
#' in, and each null statistic the stratum of the residual sum of squares of its own null
#' data. Under the null that sum is independent of the group differences, so the
#' strata do not bias the test; they only compare each gene with null statistics of
#' similar variance. A gene's p-value is (1 + the number of null statistics of its
#' stratum at or above its statistic) / (1 + their number); see
#' \code{\link{lumo_test}} for the q-values.
#'
#' A stratum needs null statistics enough for its smallest p-value to reach the
#' Benjamini-Hochberg threshold of a lone gene, 0.05 / genes: there are fewer strata
#' when \code{B} x null genes is below 100 x genes (five strata from \code{B = 100}
#' with all genes as null genes, none below \code{B = 40}), or when the null data leave
#' a stratum fewer than 10 null statistics per gene. On the leukaemia arrays of
#' Bioconductor's \code{ALL} (B-cell, BCR/ABL against NEG) with 400 shuffled labellings,
#' the strata lowered the runs that reported any gene at q <= 0.05 from 19 to 10, where
#' limma's moderated t reports genes in 14 (\code{bench/bench_calibration_all.R}); in the
#' simulations they changed neither calibration nor power (\code{bench/bench_calibration.R}).
#'
#' @section Design limits:
#' The test needs at least two arrays per group. Below 3 residual degrees of freedom
#' (n - k < 3, for example 2 + 2 arrays) the variance estimates are too coarse for
#' the null to be calibrated, and with fewer than 100 genes the pooled null and the
#' variance prior rest on too few genes; \code{odp_test} warns in both cases.
#'
#' The p-values are calibrated for genes whose arrays are independent given the groups.
#' The ODP borrows strength among genes with similar profiles, so a factor that is
#' shared by many co-expressed genes and unbalanced between the groups (sex, a batch, the
#' day the arrays were run) is found in all of them together. Over shuffled labellings
#' of the \code{ALL} arrays, 6.3 \% of the genes had p <= 0.05 on average, against
#' 4.9 \% for limma (the same arrays with each gene's values shuffled on its own: 4.9 \%
#' for both). Balance such factors in the design, or give them as \code{covariates}.
#'
#' Genes that do not vary within the groups have no alternative model and are refused;
#' remove them first.
#'
#' @section Scale of the data:
#' The test does not change when \code{x} is multiplied by a constant, so it runs on
#' \code{x} divided by a power of two (which rounds nothing) that brings the median
#' within-group standard deviation near 1. Data of any magnitude, even near 1e300 or
#' 1e-300, then give the same statistics as the same data at an ordinary scale, where
#' the likelihoods of many arrays would otherwise leave the range of doubles. Rows whose
#' values are all more than 1e100 times smaller than the largest value of \code{x}
#' cannot be represented on a common scale and are refused, naming them.
#'
#' @section Parallel backends:
#' With \code{BPPARAM} other than \code{SerialParam}, the iterations are shared among the
#' backend's workers, each running the native job on its share of the iterations. Workers
#' on this machine divide its cores among them; the jobs of a scheduler
#' (\code{BatchtoolsParam} with a cluster such as \code{"slurm"}) use the cores of their
#' own nodes. The keys of the null data are drawn once in this session, so the result is
#' identical for every backend (see the vignette for a cluster set-up). Every worker
#' also computes the observed statistics, which cost about one iteration. Such runs wait
#' for the workers and cannot run in the background. A backend that is not started is
#' started for the call and stopped when it ends; when the call is interrupted or fails,
#' the worker processes it started on this machine (the forks of \code{MulticoreParam},
#' the socket workers of \code{SnowParam}) are killed at once rather than left to finish
#' their share. A backend started with \code{BiocParallel::bpstart} is left
#' running, and its workers finish the share they are computing.
#'
#' @param x A numeric matrix of genes (rows) x arrays (columns), a
#'   \code{SummarizedExperiment} or an \code{ExpressionSet}. No missing values (see
#'   \code{impute_knn}). Row names are optional, but none may be \code{NA}.
#' @param group The group of each array: a vector or factor of length \code{ncol(x)},
#'   with at least two groups of at least two arrays each; for a
#'   \code{SummarizedExperiment} or an \code{ExpressionSet}, also the name of a column
#'   of its column data.
#' @param covariates What the test adjusts for (see "Covariates"): \code{NULL}, a data
#'   frame with one row per array, a one-sided formula such as \code{~ batch + sex}
#'   (its variables are looked up in the column data of \code{x}, then where the
#'   formula was written) or, with column data, the names of its columns. Character and
#'   logical columns are taken as factors.
#' @param B Number of bootstrap iterations (0 gives statistics without p-values). A
#'   \code{B} whose null statistics would need more memory than the machine has is
#'   refused before anything runs.
#' @param null_genes The genes whose null models form the denominator and whose
#'   bootstrap statistics form the null distribution: row numbers, a logical vector or
#'   row names. \code{NULL} takes all genes.
#' @param moderate Use moderated variances (see Details).
#' @param fdr The FDR step of the q-values: \code{"BH"} (Benjamini-Hochberg, the
#'   default) or \code{"qvalue"} (see \code{\link{lumo_test}}).
#' @param background Return a \code{\link{lumo_job}} at once instead of waiting.
#' @param BPPARAM A \pkg{BiocParallel} backend that runs the bootstrap iterations.
#' @param assay The assay of a \code{SummarizedExperiment} (name or number; the first
#'   by default).
#' @return A \code{\link{lumo_test}} object, or with \code{background = TRUE} a
#'   \code{\link{lumo_job}} whose \code{result()} is that object. Its table has, after
#'   \code{gene}, each gene's \code{mean} over all arrays and, for two groups,
#'   \code{logFC}: the mean of the second group minus that of the first, the groups in
#'   the order of the levels of \code{factor(group)} (the sign of the group coefficient of
#'   \code{limma::lmFit(x, model.matrix(~ group))}); for three or more groups, the mean of
#'   each group in columns \code{mean.<level>}. They are computed from \code{x} as given,
#'   before the rescaling described under "Scale of the data". With covariates the
#'   group means are adjusted: each group's mean at the average of the covariates (the
#'   group coefficients of a least-squares fit on the groups and the centred covariates).
#' @seealso \code{\link{lumo_test}} for the result, \code{\link{timecourse_test}}.
#' @examples
#' set.seed(1)
#' x <- matrix(rnorm(500 * 8), 500, 8)
#' x[1:25, 5:8] <- x[1:25, 5:8] + 2
#' fit <- odp_test(x, group = rep(c("a", "b"), each = 4), B = 20)
#' top_genes(fit)
#' @export
odp_test <- function(x, group, B = 100, covariates = NULL, null_genes = NULL, moderate = TRUE,
                     fdr = c("BH", "qvalue"), background = FALSE, BPPARAM = BiocParallel::SerialParam(),
                     assay = NULL) {
  cl <- match.call()
  data <- column_data(x)
  x <- expression_matrix(x, assay)
  m <- nrow(x); n <- ncol(x)
  group <- check_groups(column_or_value(group, data, "group"), n)
  B <- check_count(B, "B")
  C <- covariate_columns(covariates, data, n)
  nii <- check_null_genes(null_genes, x)
  check_flag(moderate, "moderate")
  fdr <- check_choice(fdr, "fdr", c("BH", "qvalue"))
  check_flag(background, "background")
  check_bpparam(BPPARAM, background)
  check_bootstrap_size(B, n, length(nii))
  k <- nlevels(group)
  if (!is.null(C))
    check_design(matrix(1, n, 1L), "the intercept", C, stats::model.matrix(~group)[, -1L, drop = FALSE], "group")
  scaled <- common_scale(x)
  effects <- odp_effects(scaled$x, group, scaled$exponent, C)
  x <- odp_scale(scaled$x, group)
  fit <- if (is.null(C)) odp_group_fit(x, group) else odp_design_fit(x, group, C)
  flat <- which(sqrt(fit$var1) <= 1e-10 * apply(abs(x), 1L, max))
  if (length(flat))
    stop("'x' has ", length(flat), " gene(s) that do not vary within the groups (rows ",
         name_list(flat, rownames(x)), "); remove them", call. = FALSE)
  warn_small_design(n, fit$df1, if (is.null(C)) paste("in", k, "groups") else paste("for", n - fit$df1, "parameters"),
                    m)

  # The keys of the null data first, so that set.seed fixes them whatever else draws numbers.
  keys <- draw_keys(B)
  prior1 <- variance_prior(fit$var1, fit$df1)
  prior0 <- variance_prior(fit$var0, fit$df0)
  sigma <- sqrt(if (moderate) prior1$post else fit$var1)
  sigma0 <- sqrt(if (moderate) prior0$post else fit$var0)
  own <- function(p) if (moderate) c(p$df, p$var) else c(0, 0)
  m0 <- length(nii)
  # The column maps of slot vv are not read by the drawn null; the keys are.
  args <- native_args("odp", B = B, xx = fit$xx, xk = as.double(fit$xk), mu = as.double(fit$mu), sigma = sigma,
                      sigma0 = sigma0, muBS = as.double(fit$mu), sigmaBS = sigma, sigma0BS = sigma0[nii + 1L],
                      ID = as.integer(fit$ID), nGrp = fit$nGrp, res = as.double(fit$res[nii + 1L, , drop = FALSE]),
                      vv = matrix(0L, B, ncol(fit$res)), nii = nii, m = m, n = ncol(fit$res), k = ncol(fit$xk),
                      m0 = m0, null = 1L, priors = c(prior1$df, prior1$var, own(prior1), own(prior0)), keys = keys,
                      dims = if (is.null(C)) 0L else ncol(fit$res), rss = 1L)
  genes <- gene_names(x)
  design <- sprintf("%d groups (%s arrays)%s, %d null genes, %s variances", k,
                    paste(tabulate(group, k), collapse = "+"),
                    if (is.null(C)) "" else paste0(", adjusted for ", paste(unique(attr(C, "term")), collapse = ", ")),
                    m0, if (moderate) "moderated" else "gene-wise")
  finish <- function(parts) {
    strata <- rss_strata(fit$var1 * fit$df1, unlist(lapply(parts, `[[`, "rss1")), nii + 1L)
    new_lumo_test("ODP test", design, parts[[1L]]$lr, unlist(lapply(parts, `[[`, "lr0")), genes, B, fdr, cl,
                  effects, if (k == 2L) "logFC" else names(effects)[-1L], strata)
  }
  run_bootstrap("ODP test", "odp", args, c("vv", "keys"), B, m, finish, background, BPPARAM)
}

# The fitted models of a group-only design: the data centred, each gene's
# group sums (xk) and group means (mu), residuals of the group means and the
# residual and total variances.
odp_group_fit <- function(x, group) {
  n <- ncol(x); k <- nlevels(group)
  ID <- vapply(seq_len(k), function(g) as.integer(as.integer(group) == g), integer(n))
  dim(ID) <- c(n, k)
  nGrp <- as.integer(colSums(ID))
  xc <- x - rowMeans(x)
  xk <- xc %*% ID
  mu <- sweep(xk, 2L, nGrp, "/")
  res <- xc - mu %*% t(ID)
  list(xx = rowSums(xc^2), xk = xk, mu = mu, ID = ID, nGrp = nGrp, res = res, var1 = rowSums(res^2) / (n - k),
       var0 = rowSums(xc^2) / (n - 1), df1 = n - k, df0 = n - 1)
}

# The fitted models of a design with covariates, in coordinates: the null is
# the intercept and the covariates (p0 columns), the alternative adds the group
# contrasts. Each gene's data enter as the residuals of its null fit, which lie
# in a space of n - p0 dimensions; the alternative's part of them has
# orthonormal coordinates U' x, which serve as both the "group sums" and the
# "group means" of groups of size 1, so that x_i . mu_j and |mu_j|^2 of the
# fitted means are sums over those coordinates. The likelihoods are densities
# on that space: its n - p0 coordinates stand for the arrays, and `res` holds
# the residuals of the alternative in them (the first q = p1 - p0 are 0).
odp_design_fit <- function(x, group, C) {
  n <- ncol(x)
  X1 <- cbind(1, C, stats::model.matrix(~group)[, -1L, drop = FALSE])
  p0 <- ncol(C) + 1L
  p1 <- ncol(X1)
  if (n <= p1)
    stop("the design leaves no residual degrees of freedom: ", n, " arrays for ", p1,
         " parameters; drop covariates or add arrays", call. = FALSE)
  Q <- qr.Q(qr(X1), complete = TRUE)
  U <- Q[, p0 + seq_len(p1 - p0), drop = FALSE]
  a <- x %*% U
  res <- cbind(matrix(0, nrow(x), p1 - p0), x %*% Q[, seq.int(p1 + 1L, n), drop = FALSE])
  xx <- rowSums(a^2) + rowSums(res^2)
  list(xx = xx, xk = a, mu = a, ID = matrix(0L, n - p0, p1 - p0), nGrp = rep(1L, p1 - p0), res = res,
       var1 = rowSums(res^2) / (n - p1), var0 = xx / (n - p0), df1 = n - p1, df0 = n - p0)
}

# x divided by the power of two nearest its median within-group standard
# deviation. The likelihoods multiply n normal densities, (1/sigma)^n, which
# leave the range of doubles when the typical sigma is far from 1 (for example
# sigma = 1e-3 with 120 arrays); the statistic does not change with a common
# scale of the data, and a power of two rounds nothing.
odp_scale <- function(x, group) {
  means <- t(rowsum(t(x), group)) / tabulate(group, nlevels(group))
  sd <- sqrt(rowSums((x - means[, as.integer(group), drop = FALSE])^2) / (ncol(x) - nlevels(group)))
  typical <- stats::median(sd)
  if (typical > 0) times_pow2(x, -round(log2(typical))) else x
}

# The mean of each row of x in each group (columns in the order of the levels).
group_means <- function(x, group) {
  sweep(t(rowsum(t(x), group)), 2L, tabulate(group, nlevels(group)), "/")
}

# The effect columns of the table: each gene's mean and, for two groups, logFC (the
# mean of the second group minus that of the first), for more the mean of each group.
# x is the data times 2^-exponent; the effects are on the scale of the data as given.
odp_effects <- function(x, group, exponent, C = NULL) {
  means <- if (is.null(C)) group_means(x, group) else adjusted_means(x, group, C)
  out <- list(mean = rowMeans(x))
  if (nlevels(group) == 2L) {
    out$logFC <- means[, 2L] - means[, 1L]
  } else {
    out[paste0("mean.", levels(group))] <- lapply(seq_len(ncol(means)), function(j) means[, j])
  }
  lapply(out, times_pow2, e = exponent)
}

# The group means of each row adjusted for the covariate columns C: the group
# coefficients of a least-squares fit on the group indicators and the centred
# covariates, i.e. each group's mean at the average of the covariates.
adjusted_means <- function(x, group, C) {
  D <- cbind(stats::model.matrix(~group - 1), scale(C, scale = FALSE))
  t(qr.coef(qr(D), t(x))[seq_len(nlevels(group)), , drop = FALSE])
}

# Two keys per bootstrap iteration for the native random streams.
draw_keys <- function(B) {
  matrix(sample.int(.Machine$integer.max, 2L * B, replace = TRUE), B, 2L)
}

# Warns when the design is below what the drawn null is calibrated for.
# `fitted` says what the arrays fit ("in 2 groups", "for 4 parameters").
warn_small_design <- function(n, df, fitted, m) {
  if (df < 3L)
    warning("with ", n, " arrays ", fitted, " the residual variances have fewer ",
            "than 3 degrees of freedom; p-values of such small designs are not reliably calibrated",
            call. = FALSE)
  if (m < 100L)
    warning("with ", m, " genes the pooled null and the variance prior rest on few genes; ",
            "p-values are not reliably calibrated below 100 genes", call. = FALSE)
}

# Labels of the arrays (groups, individuals) as a factor without unused levels:
# one per array, no NA, at least two levels.
check_labels <- function(value, name, n, what) {
  if (!is.atomic(value) || is.null(value) || length(value) != n)
    stop("'", name, "' must be a vector or factor with one entry per array (", n, ")", call. = FALSE)
  # A factor level NA (addNA) is as missing as an NA entry.
  if (anyNA(value) || anyNA(as.character(value)))
    stop("'", name, "' contains missing values", call. = FALSE)
  value <- factor(value)
  if (nlevels(value) < 2L) stop("'", name, "' must name at least two ", what, call. = FALSE)
  value
}

# The groups: at least two, of at least two arrays each.
check_groups <- function(group, n) {
  group <- check_labels(group, "group", n, "groups")
  small <- levels(group)[tabulate(group, nlevels(group)) < 2L]
  if (length(small))
    stop("each group needs at least two arrays; 'group' has fewer in: ",
         paste(small, collapse = ", "), call. = FALSE)
  group
}

# 0-based indices of the null genes (sorted, distinct).
check_null_genes <- function(null_genes, x) {
  m <- nrow(x)
  if (is.null(null_genes)) return(seq_len(m) - 1L)
  if (is.logical(null_genes)) {
    if (length(null_genes) != m || anyNA(null_genes))
      stop("a logical 'null_genes' needs one TRUE/FALSE per gene (", m, ")", call. = FALSE)
    idx <- which(null_genes)
  } else if (is.character(null_genes)) {
    idx <- match(null_genes, rownames(x))
    if (anyNA(idx)) stop("'null_genes' names genes that are not row names of 'x'", call. = FALSE)
    twice <- unique(null_genes[null_genes %in% rownames(x)[duplicated(rownames(x))]])
    if (length(twice))
      stop("'null_genes' names genes whose row names of 'x' are not unique: ",
           paste(utils::head(twice, 5L), collapse = ", "), "; give row numbers instead", call. = FALSE)
  } else if (is.numeric(null_genes)) {
    if (anyNA(null_genes) || any(null_genes != round(null_genes)) || any(null_genes < 1 | null_genes > m))
      stop("'null_genes' must hold row numbers between 1 and ", m, call. = FALSE)
    idx <- null_genes
  } else {
    stop("'null_genes' must be row numbers, a logical vector or row names", call. = FALSE)
  }
  if (length(idx) == 0L) stop("'null_genes' must select at least one gene", call. = FALSE)
  as.integer(sort(unique(idx)) - 1L)
}

#' Differential expression with the optimal discovery procedure
#'
#' Tests every gene for a difference between groups of arrays with the optimal
#' discovery procedure (ODP): the statistic of a gene is the sum of its likelihoods under
#' the fitted alternative models of all genes, over the sum of its likelihoods under the
#' null models of the null genes. Its significance comes from bootstrap null data sets.
#'
#' Each gene's overall mean is removed first, so its null model is a normal
#' distribution with mean zero and the standard deviation of the centred data. The
#' alternative model has one mean per group and the residual standard deviation
#' (residual sum of squares over n - k). The observed statistic uses all genes as
#' references in the numerator and the null genes in the denominator.
#'
#' The null statistics come from \code{B} bootstrap data sets: in each, the arrays are
#' drawn with replacement (one column map for all genes) from the residuals of the null
#' genes, centred and rescaled to each gene's residual standard deviation. The maps are
#' drawn with R's random number generator, so \code{set.seed} reproduces a run. Each
#' p-value is the share of all pooled null statistics (null genes x iterations) at or
#' above the gene's statistic; the q-values come from \code{qvalue::qvalue}.
#'
#' Genes that do not vary within the groups have no alternative model and are refused;
#' remove them first.
#'
#' @section Parallel backends:
#' With \code{BPPARAM} other than \code{SerialParam}, the iterations are shared among the
#' backend's workers, each running the native job on its share of the maps (the cores
#' are divided among the workers). The maps are drawn once in this session, so the
#' result is identical for every backend. Every worker also computes the observed
#' statistics, which cost about one iteration. Such runs wait for the workers and
#' cannot run in the background.
#'
#' @param x A numeric matrix of genes (rows) x arrays (columns), a
#'   \code{SummarizedExperiment} or an \code{ExpressionSet}. No missing values (see
#'   \code{impute_knn}).
#' @param group The group of each array: a vector or factor of length \code{ncol(x)},
#'   with at least two groups of at least two arrays each.
#' @param B Number of bootstrap iterations (0 gives statistics without p-values).
#' @param null_genes The genes whose null models form the denominator and whose
#'   bootstrap statistics form the null distribution: row numbers, a logical vector or
#'   row names. \code{NULL} takes all genes.
#' @param background Return a \code{\link{lumo_job}} at once instead of waiting.
#' @param BPPARAM A \pkg{BiocParallel} backend that runs the bootstrap iterations.
#' @param assay The assay of a \code{SummarizedExperiment} (name or number; the first
#'   by default).
#' @return A \code{\link{lumo_test}} object, or with \code{background = TRUE} a
#'   \code{\link{lumo_job}} whose \code{result()} is that object.
#' @seealso \code{\link{lumo_test}} for the result, \code{\link{timecourse_test}}.
#' @examples
#' set.seed(1)
#' x <- matrix(rnorm(500 * 8), 500, 8)
#' x[1:25, 5:8] <- x[1:25, 5:8] + 2
#' fit <- odp_test(x, group = rep(c("a", "b"), each = 4), B = 20)
#' top_genes(fit)
#' @export
odp_test <- function(x, group, B = 100, null_genes = NULL, background = FALSE,
                     BPPARAM = BiocParallel::SerialParam(), assay = NULL) {
  cl <- match.call()
  x <- expression_matrix(x, assay)
  m <- nrow(x); n <- ncol(x)
  group <- check_groups(group, n)
  B <- check_count(B, "B")
  nii <- check_null_genes(null_genes, x)
  check_flag(background, "background")
  check_bpparam(BPPARAM, background)
  check_bootstrap_size(B, n, length(nii))

  k <- nlevels(group)
  ID <- vapply(seq_len(k), function(g) as.integer(as.integer(group) == g), integer(n))
  dim(ID) <- c(n, k)
  nGrp <- as.integer(colSums(ID))
  xc <- x - rowMeans(x)
  xk <- xc %*% ID
  mu <- sweep(xk, 2L, nGrp, "/")
  res <- xc - mu %*% t(ID)
  sigma <- sqrt(rowSums(res^2) / (n - k))
  sigma0 <- sqrt(rowSums(xc^2) / (n - 1))
  flat <- which(sigma <= 1e-10 * apply(abs(x), 1L, max))
  if (length(flat))
    stop("'x' has ", length(flat), " gene(s) that do not vary within the groups (rows ",
         name_list(flat, rownames(x)), "); remove them", call. = FALSE)

  # Column maps first, so that set.seed fixes them whatever else draws numbers.
  vv <- draw_maps(B, n)
  m0 <- length(nii)
  args <- vector("list", 24L)
  for (i in 2:7) args[[i]] <- 0L
  args[[8]] <- rowSums(xc^2)
  args[[9]] <- as.double(xk)
  args[[10]] <- as.double(mu)
  args[[11]] <- sigma
  args[[12]] <- sigma0
  args[[13]] <- as.double(mu)
  args[[14]] <- sigma
  args[[15]] <- sigma0[nii + 1L]
  args[[16]] <- as.integer(ID)
  args[[17]] <- nGrp
  args[[18]] <- as.double(res[nii + 1L, , drop = FALSE])
  args[[20]] <- nii
  args[[21]] <- m; args[[22]] <- n; args[[23]] <- k; args[[24]] <- m0
  genes <- gene_names(x)
  finish <- function(parts) {
    new_lumo_test("ODP test", sprintf("%d groups, %d null genes", k, m0),
                  parts[[1L]]$lr, unlist(lapply(parts, `[[`, "lr0")), genes, B, cl)
  }
  run_bootstrap("ODP test", "odp", args, list(`19` = vv), B, finish, background, BPPARAM)
}

# Labels of the arrays (groups, individuals) as a factor without unused levels:
# one per array, no NA, at least two levels.
check_labels <- function(value, name, n, what) {
  if (!is.atomic(value) || is.null(value) || length(value) != n)
    stop("'", name, "' must be a vector or factor with one entry per array (", n, ")", call. = FALSE)
  if (anyNA(value)) stop("'", name, "' contains missing values", call. = FALSE)
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

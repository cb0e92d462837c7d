#' Time-course differential expression
#'
#' Tests every gene for a change of its expression over time, with a natural cubic
#' spline of time (\code{splines::ns(time, df)}) as the alternative and a flat profile
#' as the null. With \code{moderate = TRUE} (the default) the statistic is the moderated
#' F: the mean square of the spline, (RSS0 - RSS1) / df, over the gene's posterior
#' residual variance, which \code{limma::squeezeVar} shrinks towards a prior fitted
#' across the genes (RSS0 and RSS1 are the residual sums of squares of the null and
#' alternative fits; the residual degrees of freedom are the arrays less the
#' parameters of the alternative, a baseline per individual counted with individuals).
#' For independent samples and fixed baselines it equals limma's moderated F of the
#' same design. With \code{moderate = FALSE} it is F = RSS0 / RSS1 - 1. The significance
#' comes from bootstrap null data sets; each null data set's statistics are moderated
#' with the prior fitted to its own genes, as the observed ones are.
#'
#' Three designs:
#' \describe{
#'   \item{independent samples (\code{individual = NULL})}{null: the gene's mean;
#'     alternative: intercept and spline. Null data are the null fit plus residuals of
#'     the alternative fit, the arrays drawn with replacement.}
#'   \item{longitudinal (\code{individual} given, \code{intercept = "none"})}{each
#'     individual has its own baseline in both models (fixed effects); alternative:
#'     baselines and spline. The residuals of the alternative add up to zero within
#'     each individual. The bootstrap keeps that: the residuals of all but the last
#'     array of each individual are decorrelated, drawn with replacement, given the
#'     correlation of errors centred within an individual, and the last array of each
#'     individual balances its sum.}
#'   \item{random intercept (\code{intercept = "random"})}{each individual has a random
#'     baseline. Both models are fitted to every gene on its own by maximum likelihood
#'     (the fit of \code{lme4::lmer(y ~ 0 + X + (1 | individual), REML = FALSE)}, X the
#'     model's design), so a gene's fits do not depend on the other rows of \code{x};
#'     the residual sums of squares are taken after the predicted baselines are
#'     removed. Null data are the null fit plus resampled residuals plus the baselines of
#'     whole individuals drawn with replacement.}
#' }
#' With \code{covariates} (a batch, sex, a dose) both models gain the covariate columns:
#' the null is the intercept (or the baselines) and the covariates, the alternative adds
#' the spline; the bootstraps above then resample the residuals of that alternative
#' around that null. With fixed baselines a covariate that is constant within
#' individuals is absorbed by the baselines and refused, naming it; with random
#' baselines it is a fixed effect beside them. A design in which the spline of time is
#' confounded with the covariates is refused the same way. The \code{range} effect is
#' then the range of the spline part of the fit that includes the covariates, and
#' \code{plot(fit, type = "profile")} draws genes' data with their fitted curves.
#'
#' The column maps are drawn with R's random number generator, so \code{set.seed}
#' reproduces a run. Each p-value is (1 + the number of pooled null statistics, genes x
#' iterations, at or above the gene's statistic) / (1 + their number); see
#' \code{\link{lumo_test}} for the q-values. Constant genes are refused.
#'
#' @section Scale of the data:
#' The test does not change when \code{x} is multiplied by a constant, so it runs on
#' \code{x} divided by a power of two (which rounds nothing) that brings its largest
#' value near 1: data near 1e300 or 1e-300 give the same statistics as the same data at
#' an ordinary scale. Rows whose values are all more than 1e100 times smaller than the
#' largest value of \code{x} cannot be represented on a common scale and are refused,
#' naming them.
#'
#' @inheritSection odp_test Parallel backends
#' @inheritParams odp_test
#' @param time The time of each array: a numeric vector of length \code{ncol(x)}.
#' @param individual For longitudinal studies, the individual of each array (a vector or
#'   factor of length \code{ncol(x)}); \code{NULL} for independent samples. For a
#'   \code{SummarizedExperiment} or an \code{ExpressionSet}, \code{time} and
#'   \code{individual} may also name columns of its column data.
#' @param covariates What both models adjust for (see Details): \code{NULL}, a data
#'   frame with one row per array, a one-sided formula such as \code{~ batch} (its
#'   variables are looked up in the column data of \code{x}, then where the formula was
#'   written) or, with column data, the names of its columns.
#' @param df Degrees of freedom of the spline of time.
#' @param intercept For longitudinal studies: \code{"none"} gives each individual a
#'   fixed baseline, \code{"random"} a random one fitted by maximum likelihood.
#' @param moderate Use the moderated F (see Details).
#' @param eps No longer used: the random-intercept fits are exact maximum-likelihood
#'   fits, which need no convergence threshold. Still accepted (a positive finite
#'   number), with a warning when given.
#' @param fdr The FDR step of the q-values: \code{"BH"} (Benjamini-Hochberg, the
#'   default) or \code{"qvalue"} (see \code{\link{lumo_test}}).
#' @return A \code{\link{lumo_test}} object, or with \code{background = TRUE} a
#'   \code{\link{lumo_job}} whose \code{result()} is that object. Its table has, after
#'   \code{gene}, the column \code{range}: the range (largest minus smallest value) over
#'   the observed times of the gene's fitted time curve, on the scale of \code{x} as given.
#'   The curve is the spline part of the least-squares fit of the alternative: of
#'   intercept and spline for independent samples, of a baseline per individual and the
#'   spline with \code{individual}. With \code{intercept = "random"} it is also this
#'   fixed-baseline fit, not the maximum-likelihood fit the test uses.
#' @seealso \code{\link{lumo_test}} for the result, \code{\link{odp_test}}.
#' @examples
#' set.seed(1)
#' time <- rep(0:5, each = 2)
#' x <- matrix(rnorm(400 * 12), 400, 12)
#' x[1:20, ] <- x[1:20, ] + outer(rep(1, 20), 2 * sin(time))
#' fit <- timecourse_test(x, time, B = 20)
#' top_genes(fit)
#'
#' # Four individuals, each measured at the six times, with random baselines.
#' ind <- rep(1:4, each = 6)
#' tl <- rep(0:5, 4)
#' y <- matrix(rnorm(100 * 24), 100, 24) + matrix(rnorm(100 * 4), 100, 4)[, ind]
#' y[1:10, ] <- y[1:10, ] + outer(rep(1, 10), tl / 2)
#' fit2 <- timecourse_test(y, tl, individual = ind, intercept = "random", B = 5)
#' @export
timecourse_test <- function(x, time, individual = NULL, df = 2, intercept = c("none", "random"),
                            B = 100, covariates = NULL, moderate = TRUE, eps = 1e-3, fdr = c("BH", "qvalue"),
                            background = FALSE, BPPARAM = BiocParallel::SerialParam(), assay = NULL) {
  cl <- match.call()
  data <- column_data(x)
  x <- expression_matrix(x, assay)
  m <- nrow(x); n <- ncol(x)
  time <- column_or_value(time, data, "time")
  individual <- column_or_value(individual, data, "individual")
  C <- covariate_columns(covariates, data, n)
  if (!is.numeric(time) || length(time) != n || !all(is.finite(time)))
    stop("'time' must be a numeric vector of finite times, one per array (", n, ")", call. = FALSE)
  df <- check_count(df, "df", min = 1)
  intercept <- check_choice(intercept, "intercept", c("none", "random"))
  fdr <- check_choice(fdr, "fdr", c("BH", "qvalue"))
  B <- check_count(B, "B")
  check_flag(moderate, "moderate")
  eps_given <- !missing(eps)
  check_positive(eps, "eps")
  if (eps_given)
    warning("'eps' is no longer used: the random intercepts are exact maximum-likelihood fits", call. = FALSE)
  check_flag(background, "background")
  check_bpparam(BPPARAM, background)
  check_bootstrap_size(B, n, m)
  scaled <- common_scale(x)
  x <- scaled$x
  flat <- which(rowSums((x - rowMeans(x))^2) <= 1e-20 * rowSums(x^2))
  if (length(flat))
    stop("'x' has ", length(flat), " constant gene(s) (rows ",
         name_list(flat, rownames(x)), "); remove them", call. = FALSE)

  basis <- tryCatch(splines::ns(time, df = df), error = function(e) stop(rank_message(df), call. = FALSE))
  spline <- unclass(basis)[, seq_len(df), drop = FALSE]
  given <- list(x = x, time = time, individual = NULL, spline = basis, covariates = C)
  if (is.null(individual)) {
    if (!missing(intercept) && intercept == "random")
      stop("a random intercept needs 'individual'", call. = FALSE)
    if (!is.null(C)) check_design(matrix(1, n, 1L), "the intercept", C, spline, "the spline of time")
    study <- tc_independent(x, spline, B, C)
  } else {
    ind <- check_labels(individual, "individual", n, "individuals")
    given$individual <- ind
    if (!is.null(C)) {
      if (intercept == "none") check_design(stats::model.matrix(~ ind - 1), "the individuals", C, spline,
                                            "the spline of time")
      else check_design(matrix(1, n, 1L), "the intercept", C, spline, "the spline of time")
    }
    # Individual by individual, so that each individual's arrays are adjacent.
    o <- order(as.integer(ind))
    x <- x[, o, drop = FALSE]
    ind <- ind[o]
    spline <- spline[o, , drop = FALSE]
    if (!is.null(C)) C <- structure(C[o, , drop = FALSE], term = attr(C, "term"))
    study <- if (intercept == "none") tc_fixed_baselines(x, ind, spline, B, C)
             else tc_random_baselines(x, ind, spline, B, C)
  }
  genes <- gene_names(x)
  observed <- study$observed
  null <- function(parts) unlist(lapply(parts, `[[`, "F"))
  if (moderate) {
    # Each data set's statistics are moderated with the prior of its own genes.
    observed <- moderated_f(observed, study$rss1, study$df1, df)[, 1L]   # keeps the genes' names
    study$args <- native_update(study$entry, study$args, rss = 1L)
    null <- function(parts) {
      moderated_f(matrix(unlist(lapply(parts, `[[`, "F")), m), matrix(unlist(lapply(parts, `[[`, "rss1")), m),
                  study$df1, df)
    }
  }
  effects <- list(range = times_pow2(curve_range(x, study$curve, ncol(spline)), scaled$exponent))
  design <- sprintf("%s, spline df = %d%s, %s", study$design, df,
                    if (is.null(C)) "" else paste0(", adjusted for ", paste(unique(attr(C, "term")), collapse = ", ")),
                    if (moderate) "moderated F" else "F = RSS0 / RSS1 - 1")
  given$x <- times_pow2(given$x, scaled$exponent)
  finish <- function(parts) {
    fit <- new_lumo_test("Time-course test", design, observed, as.vector(null(parts)), genes, B, fdr, cl,
                         effects, "range")
    fit$profile <- given
    fit
  }
  run_bootstrap("time-course test", study$entry, study$args, study$maps, B, m, finish, background,
                BPPARAM)
}

# Orthogonal projection onto the columns of X, which must have full column rank.
projection <- function(X, what) {
  q <- qr(X)
  if (q$rank < ncol(X)) stop(what, call. = FALSE)
  Q <- qr.Q(q)
  tcrossprod(Q)
}

# The range (largest minus smallest value) over the arrays of each row's fitted time
# curve: the part of the least-squares fit of the row on the design X that its last
# k columns (the spline of time) make up.
curve_range <- function(x, X, k) {
  spline <- seq.int(ncol(X) - k + 1L, ncol(X))
  beta <- qr.coef(qr(X), t(x))
  # Covariates that the baselines already fit (random intercepts) have no coefficient.
  beta[is.na(beta)] <- 0
  curve <- crossprod(beta[spline, , drop = FALSE], t(X[, spline, drop = FALSE]))
  rows <- seq_len(nrow(curve))
  curve[cbind(rows, max.col(curve, "first"))] - curve[cbind(rows, max.col(-curve, "first"))]
}

# F of the rows of x for the smoothers H1 (alternative) and H0 (null).
f_statistic <- function(x, H1, H0) {
  rowSums((x - x %*% H0)^2) / rowSums((x - x %*% H1)^2) - 1
}

rank_message <- function(df) {
  sprintf("'df' = %d is too large for the times: the spline of time is not of full rank%s", df,
          " (or does not vary within individuals)")
}

# Residual degrees of freedom must remain.
check_residual_df <- function(n, p) {
  if (n <= p)
    stop("the design leaves no residual degrees of freedom: ", n, " arrays for ", p,
         " parameters; lower 'df' or add arrays", call. = FALSE)
}

tc_independent <- function(x, spline, B, C = NULL) {
  n <- ncol(x)
  X1 <- cbind(1, C, spline)
  check_residual_df(n, ncol(X1))
  H1 <- projection(X1, rank_message(ncol(spline)))
  H0 <- if (is.null(C)) matrix(1 / n, n, n) else projection(cbind(1, C), "'covariates' do not fit the design")
  v <- draw_maps(B, n)
  args <- native_args("indep", B = B, m = nrow(x), n = n, fit0 = as.double(x %*% H0), v = v, H0 = as.double(H0),
                      H1 = as.double(H1), res = as.double(x - x %*% H1))
  list(design = "independent samples", entry = "indep", args = args, maps = "v",
       observed = f_statistic(x, H1, H0), rss1 = rowSums((x - x %*% H1)^2), df1 = n - ncol(X1), curve = X1)
}

# Longitudinal design with a fixed baseline per individual; columns are stored
# individual by individual.
tc_fixed_baselines <- function(x, ind, spline, B, C = NULL) {
  m <- nrow(x); n <- ncol(x)
  N <- nlevels(ind)
  Z <- stats::model.matrix(~ ind - 1)
  X1 <- cbind(Z, C, spline)
  check_residual_df(n, ncol(X1))
  H1 <- projection(X1, rank_message(ncol(spline)))
  H0 <- projection(cbind(Z, C), "'individual' does not fit the design")
  nGrp <- tabulate(ind, N)
  last <- cumsum(nGrp)                       # 1-based balancing column of each individual
  inc <- setdiff(seq_len(n), last)
  res <- x - x %*% H1
  # The residuals of the included arrays (all but the last of each individual) have
  # covariance sigma^2 (I - H1)[inc, inc]. They are decorrelated with its inverse
  # square root (on its range), drawn, and the draws given the covariance of errors
  # centred within an individual of s arrays, I - J / s on its first s - 1 arrays;
  # the last array then balances the individual's sum.
  whiten <- inverse_root((diag(n) - H1)[inc, inc, drop = FALSE])
  colour <- block_diagonal(lapply(nGrp, centred_root))
  nr <- n - N
  v <- draw_maps(B, nr)
  args <- native_args("noint", B = B, m = m, n = n, ind = as.integer(ind), fit = as.double(x %*% H0), v = v,
                      H0 = as.double(H0), H1 = as.double(H1), res = as.double(res[, inc, drop = FALSE] %*% whiten),
                      rmv = as.integer(last - 1L), wsq = as.double(colour), N = N, inc = as.integer(inc - 1L),
                      idx = seq_len(n) - 1L, nGrp = nGrp)
  list(design = sprintf("longitudinal, %d individuals with fixed baselines", N), entry = "noint",
       args = args, maps = "v", observed = f_statistic(x, H1, H0), rss1 = rowSums(res^2), df1 = n - ncol(X1),
       curve = X1)
}

# Square root of I - J / s on s - 1 arrays: its eigenvalues are 1/s (along the ones
# vector) and 1.
centred_root <- function(s) {
  if (s < 2L) return(matrix(0, 0, 0))
  diag(s - 1) + (1 / sqrt(s) - 1) / (s - 1)
}

# Inverse square root of a covariance matrix on its range (directions with a
# negligible eigenvalue are dropped).
inverse_root <- function(M) {
  e <- eigen(M, symmetric = TRUE)
  keep <- e$values > 1e-10 * max(e$values)
  V <- e$vectors[, keep, drop = FALSE]
  V %*% (t(V) / sqrt(e$values[keep]))
}

block_diagonal <- function(blocks) {
  size <- vapply(blocks, nrow, 0L)
  out <- matrix(0, sum(size), sum(size))
  at <- 0L
  for (b in blocks) {
    s <- nrow(b)
    if (s > 0L) out[at + seq_len(s), at + seq_len(s)] <- b
    at <- at + s
  }
  out
}

# Longitudinal design with a random baseline per individual, every gene fitted
# on its own by maximum likelihood; columns are stored individual by individual.
tc_random_baselines <- function(x, ind, spline, B, C = NULL) {
  m <- nrow(x); n <- ncol(x)
  N <- nlevels(ind)
  X1 <- cbind(1, C, spline)
  X0 <- cbind(rep(1, n), C)
  check_residual_df(n, ncol(X1) + N - 1L)
  H1 <- projection(X1, rank_message(ncol(spline)))
  H0 <- if (is.null(C)) matrix(1 / n, n, n) else projection(cbind(1, C), "'covariates' do not fit the design")
  nGrp <- tabulate(ind, N)
  ml <- function(X) {
    # The .Call routine runs the fits on the worker pool and stops on Ctrl-C.
    r <- .Call(C_InterceptFitInterruptible, as.double(x), as.double(X), as.integer(ind), m, n, ncol(X), N)
    list(fit = matrix(r$fit, m, n), alpha = matrix(r$alpha, m, n), rss = r$rss)
  }
  set_native_threads(m)
  f1 <- ml(X1)
  f0 <- ml(X0)
  res1 <- x - f1$fit - f1$alpha
  observed <- stats::setNames(f0$rss / f1$rss - 1, rownames(x))
  v <- draw_maps(B, n)
  # Baselines of whole individuals: each array takes the baseline of the
  # individual drawn in its individual's place (read at that individual's first array).
  first <- c(0L, cumsum(nGrp)[-N])
  drawn <- matrix(sample.int(N, B * N, replace = TRUE), B, N)
  v1 <- matrix(first[drawn], B, N)[, as.integer(ind), drop = FALSE]
  args <- native_args("int", B = B, m = m, n = n, ind = as.integer(ind), fit = as.double(f0$fit), v = v,
                      H0 = as.double(H0), H1 = as.double(H1), res = as.double(res1), alpha = as.double(f1$alpha),
                      eps = 1e-3, N = N, v1 = v1, idx = seq_len(n) - 1L, nGrp = nGrp, rss = 0L,
                      X1 = as.double(X1), X0 = as.double(X0))
  # The effect sizes come from the fit with fixed baselines.
  fixed <- cbind(stats::model.matrix(~ ind - 1), C, spline)
  # The residual degrees of freedom count a parameter per individual, as with fixed baselines.
  list(design = sprintf("longitudinal, %d individuals with random baselines", N), entry = "int",
       args = args, maps = c("v", "v1"), observed = observed, rss1 = f1$rss, df1 = n - ncol(X1) - N + 1L,
       curve = fixed)
}

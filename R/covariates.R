# Study designs with covariates: the column data of a data set, array labels
# given as column names, the covariate columns and the checks that a design
# can be fitted.

# The column data of x as a data frame: colData of a SummarizedExperiment,
# pData of an ExpressionSet, NULL for a matrix.
column_data <- function(x) {
  if (methods::is(x, "SummarizedExperiment")) return(as.data.frame(SummarizedExperiment::colData(x)))
  if (methods::is(x, "ExpressionSet")) return(Biobase::pData(x))
  NULL
}

# A label of the arrays given as the name of a column of the column data (a
# single string naming one) becomes that column; anything else is returned as given.
column_or_value <- function(value, data, name) {
  if (is.character(value) && length(value) == 1L && !is.null(data)) {
    if (value %in% names(data)) return(data[[value]])
    if (nrow(data) != 1L)
      stop("'", name, "' = \"", value, "\" is not a column of the column data of 'x' (",
           paste(utils::head(names(data), 10L), collapse = ", "), ")", call. = FALSE)
  }
  value
}

# The covariate columns of the design, without an intercept: an n-row matrix
# whose attribute "term" names the term of each column, or NULL without
# covariates. `covariates` is a data frame (one row per array), a one-sided
# formula (its variables looked up in the column data, then in the formula's
# environment) or, with column data, a character vector of column names.
covariate_columns <- function(covariates, data, n) {
  if (is.null(covariates)) return(NULL)
  if (is.character(covariates) && !is.null(data)) {
    unknown <- setdiff(covariates, names(data))
    if (length(unknown))
      stop("'covariates' names columns that the column data of 'x' does not have: ",
           paste(unknown, collapse = ", "), call. = FALSE)
    covariates <- data[covariates]
  }
  if (inherits(covariates, "formula")) {
    if (length(covariates) != 2L)
      stop("'covariates' must be a one-sided formula such as ~ batch + sex", call. = FALSE)
    frame <- tryCatch(stats::model.frame(covariates, data = data, na.action = stats::na.pass),
                      error = function(e) stop("'covariates': ", conditionMessage(e), call. = FALSE))
  } else if (is.data.frame(covariates)) {
    frame <- covariates
  } else {
    stop("'covariates' must be a data frame, a one-sided formula", if (!is.null(data))
      " or names of columns of the column data of 'x'", call. = FALSE)
  }
  if (nrow(frame) != n)
    stop("'covariates' must have one row per array (", n, "), not ", nrow(frame), call. = FALSE)
  if (!ncol(frame)) return(NULL)
  if (anyNA(frame) || any(vapply(frame, function(v) is.factor(v) && anyNA(levels(v)), NA)))
    stop("'covariates' contains missing values", call. = FALSE)
  frame[] <- lapply(frame, function(v) if (is.character(v) || is.logical(v)) factor(v) else v)
  terms <- if (inherits(covariates, "formula")) stats::terms(frame) else
    stats::terms(stats::reformulate(sprintf("`%s`", names(frame))), data = frame)
  X <- stats::model.matrix(terms, frame)
  labels <- c("(Intercept)", attr(terms, "term.labels"))[attr(X, "assign") + 1L]
  X <- X[, -1L, drop = FALSE]
  attr(X, "term") <- labels[-1L]
  if (!all(is.finite(X))) stop("'covariates' must be finite", call. = FALSE)
  X
}

# Checks that the design base + covariates + tested can be fitted: the
# covariates add rank to the base (an intercept or a baseline per individual),
# and the tested columns (the group contrasts, the spline of time) add rank to
# both. Errors name the confounded terms.
check_design <- function(base, base_name, covariates, tested, tested_name) {
  rank <- function(M) qr(M)$rank
  if (!is.null(covariates)) {
    term <- attr(covariates, "term")
    X <- base
    for (t in unique(term)) {
      cols <- covariates[, term == t, drop = FALSE]
      if (rank(cbind(X, cols)) < ncol(X) + ncol(cols))
        stop("the covariates are confounded: term '", t, "' is not estimable given ", base_name,
             if (ncol(X) > ncol(base)) paste0(" and the terms before it (",
                                              paste(unique(term[seq_len(ncol(X) - ncol(base))]), collapse = ", "),
                                              ")"),
             "; drop it or merge its levels", call. = FALSE)
      X <- cbind(X, cols)
    }
  }
  X0 <- cbind(base, covariates)
  if (rank(cbind(X0, tested)) == ncol(X0) + ncol(tested)) return(invisible(NULL))
  culprits <- if (is.null(covariates)) character(0) else Filter(function(t) {
    rest <- cbind(base, covariates[, attr(covariates, "term") != t, drop = FALSE])
    rank(cbind(rest, tested)) == ncol(rest) + ncol(tested)
  }, unique(attr(covariates, "term")))
  stop("'", tested_name, "' is confounded with ",
       if (length(culprits)) paste0("the covariates (", paste(culprits, collapse = ", "), ")") else
         paste0(base_name, if (!is.null(covariates)) " and the covariates together"),
       ": the design is not of full rank", call. = FALSE)
}

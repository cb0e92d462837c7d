# Argument checks shared by the exported functions. Each raises an error that
# names the argument, before anything native runs.

# The expression matrix of x: a numeric matrix, a SummarizedExperiment (the
# assay named `assay`, else the first) or an ExpressionSet (exprs).
expression_matrix <- function(x, assay = NULL, allow_na = FALSE, arg = "x") {
  if (methods::is(x, "SummarizedExperiment")) {
    if (!requireNamespace("SummarizedExperiment", quietly = TRUE))
      stop("reading '", arg, "' needs the SummarizedExperiment package", call. = FALSE)
    assay <- check_assay(assay, x, arg)
    x <- as.matrix(SummarizedExperiment::assay(x, assay))
  } else if (methods::is(x, "ExpressionSet")) {
    if (!requireNamespace("Biobase", quietly = TRUE))
      stop("reading '", arg, "' needs the Biobase package", call. = FALSE)
    x <- Biobase::exprs(x)
  } else if (is.data.frame(x)) {
    if (!all(vapply(x, is.numeric, logical(1))))
      stop("'", arg, "' must be a numeric matrix; the data frame has non-numeric columns", call. = FALSE)
    x <- as.matrix(x)
  }
  if (!is.matrix(x) || !(is.numeric(x) || is.logical(x) && all(is.na(x))))
    stop("'", arg, "' must be a numeric matrix of genes (rows) x arrays (columns)", call. = FALSE)
  if (nrow(x) < 1L || ncol(x) < 1L)
    stop("'", arg, "' must have at least one row and one column", call. = FALSE)
  # A row without a name cannot be told apart in the results (gene tables, tree labels).
  unnamed <- which(is.na(rownames(x)))
  if (length(unnamed))
    stop("'", arg, "' has missing row names (rows ", name_list(unnamed), "); name every row, or drop ",
         "the row names with rownames(", arg, ") <- NULL", call. = FALSE)
  if (!allow_na && anyNA(x))
    stop("'", arg, "' contains missing values; impute them first (see impute_knn)", call. = FALSE)
  if (any(is.infinite(x)))
    stop("'", arg, "' contains infinite values", call. = FALSE)
  if (as.double(nrow(x)) * ncol(x) > .Machine$integer.max)
    stop("'", arg, "' has more than 2^31 - 1 entries", call. = FALSE)
  storage.mode(x) <- "double"
  x
}

# x divided by a power of two 2^e, so that its largest magnitude lies in
# [0.5, 1), and that exponent e. Every analysis is unchanged by a common scale of
# the data, or scales with it, and dividing by a power of two rounds nothing; but
# squares and sums of squares of values near 1e300 overflow, and those of values
# near 1e-300 vanish, so the analyses run on the scaled values. A row whose
# values are all nonzero but below 1e-100 of the largest value of x would still
# lose its squares and is refused, naming the rows. Missing values are kept.
common_scale <- function(x, arg = "x") {
  big <- suppressWarnings(max(abs(x), na.rm = TRUE))
  if (!is.finite(big) || big == 0) return(list(x = x, exponent = 0))
  e <- floor(log2(big)) + 1
  x <- times_pow2(x, -e)
  size <- suppressWarnings(apply(abs(x), 1L, max, na.rm = TRUE))
  tiny <- which(size > 0 & size < 1e-100)
  if (length(tiny))
    stop("'", arg, "' has rows whose values are all more than 1e100 times smaller than its largest value ",
         "(rows ", name_list(tiny, rownames(x)), "); their squares are lost to underflow in double ",
         "precision. Remove those rows, or analyse them apart", call. = FALSE)
  list(x = x, exponent = e)
}

# v * 2^e in two exact steps, so that neither factor leaves the range of doubles.
times_pow2 <- function(v, e) {
  half <- e %/% 2
  v * 2^half * 2^(e - half)
}

# The assay of the SummarizedExperiment x to read: `assay` as a name or number of
# one of its assays, the first when NULL.
check_assay <- function(assay, x, arg = "x") {
  count <- length(SummarizedExperiment::assays(x))
  if (count == 0L) stop("'", arg, "' has no assays", call. = FALSE)
  if (is.null(assay)) return(1L)
  have <- SummarizedExperiment::assayNames(x)
  if (is_assay_name(assay, have)) return(assay)
  if (is_assay_number(assay, count)) return(as.integer(assay))
  listed <- seq_len(count)
  if (!is.null(have)) listed <- ifelse(nzchar(have), paste0(listed, ' ("', have, '")'), listed)
  stop("'assay' must be the name or number of an assay of '", arg, "'; its assays are ",
       paste(listed, collapse = ", "), call. = FALSE)
}

# Whether `assay` is one of the assay names `have`.
is_assay_name <- function(assay, have) {
  is.character(assay) && length(assay) == 1L && !is.na(assay) && nzchar(assay) && assay %in% have
}

# Whether `assay` is the number of one of `count` assays.
is_assay_number <- function(assay, count) {
  is.numeric(assay) && length(assay) == 1L && !is.na(assay) && assay == round(assay) &&
    assay >= 1 && assay <= count
}

# A single whole number >= min (and <= max).
check_count <- function(value, name, min = 0, max = .Machine$integer.max) {
  if (!is.numeric(value) || length(value) != 1L || is.na(value) || value != round(value))
    stop("'", name, "' must be a single whole number", call. = FALSE)
  if (value < min)
    stop("'", name, "' must be at least ", min, call. = FALSE)
  if (value > max)
    stop("'", name, "' must be at most ", max, call. = FALSE)
  as.integer(value)
}

# One of `choices`: the first when `value` is the default vector itself, else a
# single string among them (no partial matching).
check_choice <- function(value, name, choices) {
  if (identical(value, choices)) return(choices[1L])
  if (!is.character(value) || length(value) != 1L || is.na(value) || !value %in% choices)
    stop("'", name, "' must be one of ", paste0('"', choices, '"', collapse = ", "), call. = FALSE)
  value
}

check_flag <- function(value, name) {
  if (!is.logical(value) || length(value) != 1L || is.na(value))
    stop("'", name, "' must be TRUE or FALSE", call. = FALSE)
  invisible(value)
}

# A positive finite number.
check_positive <- function(value, name) {
  if (!is.numeric(value) || length(value) != 1L || !is.finite(value) || value <= 0)
    stop("'", name, "' must be a positive finite number", call. = FALSE)
  as.double(value)
}

# "a, b, c" of the first few offending rows or columns, by name where they have one.
name_list <- function(rows, names = NULL, max = 5L) {
  shown <- as.character(rows)
  if (!is.null(names)) shown <- ifelse(nzchar(names[rows]), names[rows], shown)
  out <- paste(utils::head(shown, max), collapse = ", ")
  if (length(rows) > max) out <- paste0(out, ", ... (", length(rows), " in all)")
  out
}

# B bootstrap column maps of n columns (0-based), one map per row, drawn with
# R's random number generator.
draw_maps <- function(B, n) {
  matrix(sample.int(n, B * n, replace = TRUE) - 1L, B, n)
}

#' Impute missing values from the nearest genes
#'
#' Fills every missing value of an expression matrix with the mean of its column
#' over the \code{k} genes (rows) nearest to its own, so that genes with similar
#' profiles lend each other their values.
#'
#' The distance between two genes is the mean squared difference over the arrays
#' (columns) that both have observed. The neighbours of a gene are the \code{k}
#' other genes at the smallest distance (ties go to the earlier row), and a missing
#' value becomes the mean of the neighbours' observed values in that column.
#' Imputed values are never used to impute others.
#'
#' Mostly missing genes and arrays follow these rules:
#' \itemize{
#'   \item a column with more than \code{colmax} of its values missing is an error;
#'     so is a column with no observed value at all;
#'   \item a row with more than \code{rowmax} of its values missing, or with none
#'     observed, is not imputed from neighbours and is no one's neighbour: its
#'     missing values get their column's mean;
#'   \item a missing value whose column none of the \code{k} neighbours has observed
#'     also gets its column's mean.
#' }
#' Column means are taken over the observed values of all rows. The entries filled
#' with column means are listed in the attribute \code{"mean_filled"}.
#'
#' Finding the neighbours of every gene costs time proportional to the square of
#' the number of rows. Above \code{maxp} rows the genes are therefore first split
#' into blocks of similar genes, and each gene's neighbours are sought within its
#' block only, so that the time grows about linearly with the number of rows. A
#' set of more than \code{maxp} rows is split in two by a two-means clustering that
#' tolerates missing values (started from the gene farthest from the mean profile
#' and the gene farthest from that one), and each part is split again until no
#' part has more than \code{maxp} rows. A split that would leave a part with no
#' more than \code{k} rows cuts the set into two halves instead, by which of the
#' two centres each gene is nearer to. Blocks are chosen without random numbers,
#' so the result does not depend on the random seed. Blocks cost some accuracy:
#' a gene close to a split loses the neighbours on the other side. Raise
#' \code{maxp} (\code{Inf} never splits) when time allows.
#'
#' @section Scale of the data:
#' The neighbours are found, and the values imputed, on \code{x} divided by a power of
#' two (which rounds nothing) that brings its largest value near 1, and the imputed values
#' are scaled back: data near 1e300 or 1e-300 are imputed as the same data at an ordinary
#' scale, where squared distances would otherwise overflow or vanish. Rows whose values
#' are all more than 1e100 times smaller than the largest value of \code{x} cannot be
#' represented on a common scale and are refused, naming them.
#'
#' @param x A numeric matrix of genes (rows) x arrays (columns) with \code{NA} for
#'   missing values, a data frame of numeric columns, a \code{SummarizedExperiment}
#'   or an \code{ExpressionSet}. Row names are optional, but none may be \code{NA}.
#' @param k Number of neighbours, at least 1 and less than the number of rows
#'   taking part in the imputation (rows with at most \code{rowmax} missing).
#' @param rowmax Largest fraction of missing values of a row imputed from its
#'   neighbours, between 0 and 1.
#' @param colmax Largest fraction of missing values allowed in a column, between
#'   0 and 1.
#' @param maxp Largest number of rows imputed as one block; at least
#'   \code{2 * k + 1}.
#' @param assay For a \code{SummarizedExperiment}, the assay to use (default the
#'   first).
#' @return The completed numeric matrix, with the dimnames of \code{x} and an
#'   attribute \code{"mean_filled"}: a two-column integer matrix (\code{row},
#'   \code{col}) of the entries that no neighbour could fill and that hold their
#'   column's mean (zero rows when the neighbours filled everything).
#' @examples
#' set.seed(1)
#' profiles <- matrix(rnorm(5 * 8), 5, 8)
#' x <- profiles[sample(5, 200, replace = TRUE), ] + rnorm(200 * 8, sd = 0.2)
#' masked <- x
#' masked[sample(length(x), 100)] <- NA
#' filled <- impute_knn(masked, k = 5)
#' sqrt(mean((filled - x)[is.na(masked)]^2))   # error of the imputed values
#' attr(filled, "mean_filled")
#' @export
impute_knn <- function(x, k = 10, rowmax = 0.5, colmax = 0.8, maxp = 1500, assay = NULL) {
  x <- expression_matrix(x, assay, allow_na = TRUE)
  p <- nrow(x)
  set_native_threads(p)
  k <- check_count(k, "k", min = 1)
  if (k >= p)
    stop("'k' (", k, ") must be smaller than the number of rows of 'x' (", p, ")", call. = FALSE)
  rowmax <- check_fraction(rowmax, "rowmax")
  colmax <- check_fraction(colmax, "colmax")
  maxp <- if (identical(maxp, Inf)) .Machine$integer.max else check_count(maxp, "maxp", min = 2 * k + 1)
  observed <- x
  scaled <- common_scale(x)
  x <- scaled$x

  miss <- is.na(x)
  col_missing <- colMeans(miss)
  empty <- which(col_missing == 1)
  if (length(empty))
    stop("'x' has columns without any observed value (", name_list(empty, colnames(x)), ")", call. = FALSE)
  sparse_cols <- which(col_missing > colmax)
  if (length(sparse_cols))
    stop("'x' has columns with more than colmax = ", colmax, " of their values missing (",
         name_list(sparse_cols, colnames(x)), ")", call. = FALSE)

  unfilled <- matrix(FALSE, p, ncol(x))
  if (any(miss)) {
    means <- colMeans(x, na.rm = TRUE)
    dense <- which(rowMeans(miss) <= rowmax & rowSums(!miss) > 0)
    sparse <- setdiff(seq_len(p), dense)
    unfilled[sparse, ] <- miss[sparse, ]
    if (any(miss[dense, ])) {
      if (k >= length(dense))
        stop("'k' (", k, ") must be smaller than the number of rows with at most rowmax = ",
             rowmax, " of their values missing (", length(dense), ")", call. = FALSE)
      for (rows in knn_blocks(x[dense, , drop = FALSE], miss[dense, , drop = FALSE], k, maxp)) {
        if (!any(miss[dense[rows], ])) next
        fill <- knn_fill(x[dense[rows], , drop = FALSE], miss[dense[rows], , drop = FALSE], k)
        x[dense[rows], ] <- fill$x
        unfilled[dense[rows], ] <- fill$unfilled
      }
    }
    x[unfilled] <- means[col(x)[unfilled]]
  }
  # Imputed values scale with the data; observed ones are returned as given.
  x <- times_pow2(x, scaled$exponent)
  x[!miss] <- observed[!miss]
  at <- which(unfilled, arr.ind = TRUE)
  dimnames(at) <- list(NULL, c("row", "col"))
  attr(x, "mean_filled") <- at
  x
}

# A number between 0 and 1.
check_fraction <- function(value, name) {
  if (!is.numeric(value) || length(value) != 1L || is.na(value) || value < 0 || value > 1)
    stop("'", name, "' must be a number between 0 and 1", call. = FALSE)
  as.double(value)
}

# Imputes the missing entries of one block from neighbours within the block.
# Returns the filled block and which entries no neighbour could fill.
knn_fill <- function(x, miss, k) {
  p <- nrow(x)
  n <- ncol(x)
  x[miss] <- 0
  # The .Call routine imputes as the .Fortran routine knnimp does, on the
  # worker pool, and stops on Ctrl-C.
  res <- .Call(C_KnnImputeInterruptible, as.double(x), as.integer(p), as.integer(n),
               as.integer(miss), as.integer(rowSums(miss) > 0), as.integer(k))
  list(x = matrix(res$ximp, p, n), unfilled = matrix(res$imiss == 2L, p, n))
}

# Splits rows 1..nrow(x) into blocks of at most maxp similar rows (each of more
# than k rows), by recursive two-means splits. Returns a list of row vectors.
knn_blocks <- function(x, miss, k, maxp) {
  todo <- list(seq_len(nrow(x)))
  blocks <- list()
  while (length(todo)) {
    rows <- todo[[1L]]
    todo <- todo[-1L]
    if (length(rows) <= maxp) {
      blocks[[length(blocks) + 1L]] <- rows
    } else {
      parts <- two_means_split(x[rows, , drop = FALSE], miss[rows, , drop = FALSE], k)
      todo <- c(lapply(parts, function(part) rows[part]), todo)
    }
  }
  blocks
}

# Two groups of rows of x, each of more than k rows (x has at least 2k + 2).
two_means_split <- function(x, miss, k) {
  p <- nrow(x)
  n <- ncol(x)
  x[miss] <- 0
  mean_profile <- colSums(x) / pmax(colSums(!miss), 1)
  first <- farthest_row(x, miss, mean_profile, colSums(!miss) == 0)
  second <- farthest_row(x, miss, x[first, ], miss[first, ])
  if (second == first) second <- if (first == 1L) 2L else 1L
  res <- .Fortran(C_twomis, x = x, p = p, n = n, imiss = as.integer(miss), x0 = double(2L * n),
                  imiss0 = integer(2L * n), maxit = 10L, eps = 1e-4, istart = c(first, second),
                  clust = integer(2L * p), nsize = integer(2L), dist = double(2L * p),
                  ratio = double(1L), iter = integer(1L), iworkp = integer(p), iworkn = integer(n))
  size <- res$nsize
  if (min(size) > k)
    return(list(res$clust[seq_len(size[1L])], res$clust[p + seq_len(size[2L])]))
  # Too small a part: halves by the difference of the distances to the centres.
  dist <- matrix(res$dist, p, 2L)
  o <- order(dist[, 1L] - dist[, 2L])
  half <- p %/% 2L
  list(sort(o[seq_len(half)]), sort(o[(half + 1L):p]))
}

# The row of x farthest from a target profile (mean squared difference over the
# columns both have); rows sharing no column with it are never chosen.
farthest_row <- function(x, miss, target, target_miss) {
  use <- !miss & rep(!target_miss, each = nrow(x))
  d <- (x - rep(target, each = nrow(x)))^2
  d[!use] <- 0
  count <- rowSums(use)
  d <- ifelse(count > 0, rowSums(d) / pmax(count, 1), NA)
  i <- which.max(d)
  if (length(i)) i else 1L
}

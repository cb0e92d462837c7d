#' Hierarchical clustering of genes
#'
#' Clusters the rows (genes) of an expression matrix by centroid linkage on
#' Euclidean or correlation distance, optionally followed by a leaf ordering, and
#' returns the tree as an ordinary \code{\link[stats]{hclust}} object.
#'
#' Every row starts as a cluster of its own; the two clusters whose centroids
#' (mean profiles) are closest are merged, until one cluster remains. The distance
#' of two centroids is their Euclidean distance, or one minus their Pearson
#' correlation for \code{distance = "correlation"}. The Euclidean tree is the tree
#' of \code{hclust(dist(x)^2, "centroid")}, whose heights are the squares of the
#' heights returned here.
#'
#' The leaf ordering changes only how each merge is oriented, never which clusters
#' are merged: \code{"weight"} puts the child with the smaller mean value first at
#' every merge, \code{"optimal"} chooses the orientations that minimise the sum of
#' distances between neighbouring leaves. \code{merge} and \code{order} both follow
#' the chosen orientation, so dendrograms and heatmaps show it.
#'
#' @section Inversions:
#' With centroid linkage a merge can be lower than a merge below it: after two
#' clusters merge, their centroid may lie closer to a third cluster than the two
#' were to each other. \code{height} holds the true centroid distance of every
#' merge, so it need not increase along \code{merge}, and a dendrogram then draws
#' the later merge below the earlier one (its branches cross). Nothing is adjusted
#' for drawing. \code{cutree(hc, k = )} cuts by the order of the merges and is
#' unaffected; \code{cutree(hc, h = )} expects increasing heights and refuses a
#' tree with inversions, as it does for \code{hclust}'s own centroid trees.
#'
#' @section Scale of the data:
#' Clustering runs on \code{x} divided by a power of two (which rounds nothing) that
#' brings its largest value near 1, and Euclidean heights are scaled back: data near
#' 1e300 or 1e-300 give the tree of the same data at an ordinary scale, with heights
#' scaled accordingly, where squared distances would otherwise overflow or vanish. Rows
#' whose values are all more than 1e100 times smaller than the largest value of
#' \code{x} cannot be represented on a common scale and are refused, naming them.
#'
#' @param x A numeric matrix of genes (rows) x arrays (columns) without missing
#'   values (see \code{\link{impute_knn}}), a data frame of numeric columns, a
#'   \code{SummarizedExperiment} or an \code{ExpressionSet}. At least two rows.
#'   Row names are optional, but none may be \code{NA}.
#' @param distance \code{"euclidean"} or \code{"correlation"} (one minus the Pearson
#'   correlation; every row must vary, and there must be at least two columns).
#' @param ordering Leaf ordering: \code{"none"}, \code{"weight"} (by mean value) or
#'   \code{"optimal"} (optimal leaf ordering).
#' @param background Return a \code{\link{lumo_job}} at once instead of waiting.
#' @param assay For a \code{SummarizedExperiment}, the assay to use (default the
#'   first).
#' @return An object of class \code{hclust} with \code{merge}, \code{height},
#'   \code{order} (1-based), \code{labels} (the row names), \code{method}
#'   (\code{"centroid"}), \code{call} and \code{dist.method}; or, with
#'   \code{background = TRUE}, a \code{lumo_job} whose \code{\link{result}} is that
#'   object.
#' @seealso \code{\link[stats]{hclust}}, \code{\link[stats]{cutree}},
#'   \code{\link[stats]{heatmap}}
#' @examples
#' set.seed(1)
#' x <- rbind(matrix(rnorm(60, 0), 20), matrix(rnorm(60, 3), 20))
#' rownames(x) <- paste0("gene", 1:40)
#' hc <- cluster_rows(x, ordering = "optimal")
#' hc
#' table(cutree(hc, k = 2))
#' plot(hc, cex = 0.6)
#' heatmap(x, Rowv = as.dendrogram(hc), Colv = NA, scale = "none")
#' @export
cluster_rows <- function(x, distance = c("euclidean", "correlation"),
                         ordering = c("none", "weight", "optimal"),
                         background = FALSE, assay = NULL) {
  call <- match.call()
  distance <- check_choice(distance, "distance", native_codes$distance)
  ordering <- check_choice(ordering, "ordering", native_codes$ordering)
  check_flag(background, "background")
  x <- expression_matrix(x, assay)
  scaled <- common_scale(x)
  x <- scaled$x
  n <- nrow(x)
  if (n < 2L)
    stop("'x' must have at least two rows to cluster", call. = FALSE)
  if (distance == "correlation") {
    if (ncol(x) < 2L)
      stop("'x' must have at least two columns for correlation distance", call. = FALSE)
    flat <- which(rowSums(x != x[, 1L]) == 0)
    if (length(flat))
      stop("'x' has constant rows (", name_list(flat, rownames(x)),
           "); their correlation distance is undefined", call. = FALSE)
  }
  order_code <- native_code("ordering", ordering)
  distance_code <- native_code("distance", distance)
  labels <- rownames(x)
  job <- start_job("clustering",
    start = function() .Call(C_StartClusteringThread, x, n, ncol(x), order_code, distance_code),
    collect = function(id) {
      merge <- integer(2L * (n - 1L))
      height <- double(n - 1L)
      order <- integer(n)
      .Call(C_FinishClusteringThread, id, merge, height, order)
      # Euclidean heights scale with the data; correlation does not.
      if (distance == "euclidean") height <- times_pow2(height, scaled$exponent)
      structure(list(merge = matrix(merge, ncol = 2L), height = height, order = order + 1L,
                     labels = labels, method = "centroid", call = call, dist.method = distance),
                class = "hclust")
    }, work = n)
  run_job(job, background)
}

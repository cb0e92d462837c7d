#' lumo: native statistics for gene-expression studies
#'
#' lumo analyses genes x arrays expression matrices with a multi-threaded native
#' library:
#' \itemize{
#'   \item \code{\link{odp_test}}: differential expression with the optimal discovery
#'     procedure and bootstrap null statistics;
#'   \item \code{\link{timecourse_test}}: time-course studies with independent samples or
#'     longitudinal designs, with or without a random intercept per individual;
#'   \item \code{\link{cluster_rows}}: centroid-linkage hierarchical clustering of genes,
#'     with a weight-based or optimal leaf ordering, returned as an \code{hclust} object;
#'   \item \code{\link{impute_knn}}: k-nearest-neighbour imputation of missing values.
#' }
#'
#' Long analyses can run as background jobs (\code{background = TRUE}); see
#' \code{\link{lumo_job}}.
#'
#' @section Threads:
#' Every analysis uses all cores by default (\code{parallel::detectCores()}, counted
#' when the package loads). Set \code{options(lumo.threads = n)} to use at most \code{n}
#' threads; \code{1} runs each analysis on a single thread. An analysis never starts
#' more threads than there are cores, nor more than it has rows (genes) to share among
#' them. Results are identical for any thread count.
#'
#' @keywords internal
#' @useDynLib lumo, .registration = TRUE, .fixes = "C_"
"_PACKAGE"

.onLoad <- function(libname, pkgname) {
  machine$cores <- count_cores()
}

.onUnload <- function(libpath) {
  library.dynam.unload("lumo", libpath)
}

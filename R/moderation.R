# Empirical-Bayes moderation of gene variances (limma's squeezeVar).

# The scaled inverse-chi-square prior that limma::squeezeVar fits to the
# variances `var` (each on `df` degrees of freedom), and the posterior
# variances. Without a usable prior (too few genes, or no spread to fit) the
# prior has df 0 and the posterior variances are the genes' own.
variance_prior <- function(var, df) {
  sv <- suppressWarnings(limma::squeezeVar(var, df))
  d0 <- as.double(sv$df.prior)[1L]
  s0 <- as.double(sv$var.prior)[1L]
  if (is.na(d0) || d0 <= 0 || !is.finite(s0) || s0 <= 0)
    return(list(df = 0, var = 0, post = var))
  list(df = d0, var = s0, post = sv$var.post)
}

# The moderated F of each gene (one column of rss1 and F per data set): the
# mean square of the spline, (RSS0 - RSS1) / df_num = F RSS1 / df_num, over the
# posterior residual variance, with the prior fitted across the genes of the
# same data set (each gene's RSS1 on df1 degrees of freedom).
moderated_f <- function(f, rss1, df1, df_num) {
  f <- as.matrix(f)
  rss1 <- as.matrix(rss1)
  for (k in seq_len(ncol(f)))
    f[, k] <- (f[, k] * rss1[, k] / df_num) / variance_prior(rss1[, k] / df1, df1)$post
  f
}

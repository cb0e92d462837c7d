# Builds an ODP study and its argument list from raw simulated data.
odp_study <- function(m = 60, n1 = 4, n2 = 5, B = 3, m0 = m, seed = 1, k = 2) {
  set.seed(seed)
  n <- n1 + n2
  grp <- if (k == 1) rep(1, n) else rep(1:2, c(n1, n2))
  x <- matrix(rnorm(m * n), m, n)
  x[1:5, grp == max(grp)] <- x[1:5, grp == max(grp)] + 2
  xc <- x - rowMeans(x)
  ID <- sapply(seq_len(k), function(g) as.integer(grp == g))
  ID <- matrix(ID, n, k)
  nGrp <- as.integer(colSums(ID))
  xk <- xc %*% ID
  mu <- sweep(xk, 2, nGrp, "/")
  res <- xc - mu %*% t(ID)
  sigma <- sqrt(rowSums(res^2) / (n - k))
  sigma0 <- sqrt(rowSums(xc^2) / (n - 1))
  nii <- as.integer(sort(sample.int(m, m0)) - 1L)
  vv <- matrix(sample.int(n, B * n, replace = TRUE) - 1L, B, n)
  arglist <- vector("list", 24)
  for (i in 2:7) arglist[[i]] <- 0L
  arglist[[1]] <- as.integer(B)
  arglist[[8]] <- rowSums(xc^2); arglist[[9]] <- as.double(xk); arglist[[10]] <- as.double(mu)
  arglist[[11]] <- sigma; arglist[[12]] <- sigma0
  arglist[[13]] <- as.double(mu); arglist[[14]] <- sigma; arglist[[15]] <- sigma0[nii + 1]
  arglist[[16]] <- as.integer(ID); arglist[[17]] <- nGrp
  arglist[[18]] <- as.double(res[nii + 1, , drop = FALSE]); arglist[[19]] <- as.integer(vv)
  arglist[[20]] <- nii
  arglist[[21]] <- as.integer(m); arglist[[22]] <- as.integer(n); arglist[[23]] <- as.integer(k)
  arglist[[24]] <- as.integer(m0)
  list(arglist = arglist, x = xc, grp = grp, mu = mu, sigma = sigma, sigma0 = sigma0, nii = nii,
       res = res[nii + 1, , drop = FALSE], vv = vv, B = B, k = k)
}

# The ODP statistic of every row of dat, straight from the Gaussian densities
# (without their common constant): alternative models of all genes over the
# null models of the null genes.
odp_direct <- function(dat, grp, mu, sigma, sigma0_null) {
  n <- ncol(dat)
  num <- sapply(seq_len(nrow(dat)), function(i) {
    d2 <- rowSums((matrix(dat[i, ], nrow(mu), n, byrow = TRUE) - mu[, grp, drop = FALSE])^2)
    sum(sigma^(-n) * exp(-d2 / (2 * sigma^2)))
  })
  den <- sapply(seq_len(nrow(dat)), function(i)
    sum(sigma0_null^(-n) * exp(-sum(dat[i, ]^2) / (2 * sigma0_null^2))))
  num / den
}

# Bootstrap null statistics: resampled residual columns, centred for k > 1,
# rescaled to each null gene's fitted sd.
odp_null_direct <- function(s) {
  n <- ncol(s$res)
  unlist(lapply(seq_len(s$B), function(h) {
    d <- s$res[, s$vv[h, ] + 1, drop = FALSE]
    if (s$k > 1) d <- d - rowMeans(d)
    sc <- if (s$k > 1) sqrt(rowSums(d^2) / (n - 1)) else sqrt(rowSums((d - rowMeans(d))^2) / (n - 1))
    d <- d * s$sigma[s$nii + 1] / sc
    odp_direct(d, s$grp, s$mu, s$sigma, s$sigma0[s$nii + 1])
  }))
}

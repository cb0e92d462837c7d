# Builders of time-course argument lists and small references written in R.

tc_proj <- function(X) X %*% solve(crossprod(X), t(X))

# Independent design: m genes at the time points tpts, B column maps.
tc_indep_case <- function(m = 30, tpts = rep(0:5, each = 2), B = 4L, seed = 1) {
  set.seed(seed)
  n <- length(tpts)
  y <- matrix(rnorm(m * n), m, n)
  X1 <- if (length(unique(tpts)) >= 3) cbind(1, tpts, tpts^2) else cbind(1, tpts)
  H1 <- tc_proj(X1); H0 <- tc_proj(matrix(1, n, 1))
  fit0 <- y %*% t(H0); res <- y - y %*% t(H1)
  v <- matrix(sample.int(n, n * B, replace = TRUE) - 1L, B, n)
  a <- rep(list(0L), 16)
  a[[1]] <- as.integer(B); a[[5]] <- as.integer(m); a[[6]] <- as.integer(n)
  a[[11]] <- as.double(fit0); a[[12]] <- as.integer(v); a[[13]] <- as.double(H0)
  a[[14]] <- as.double(H1); a[[16]] <- as.double(res)
  list(args = a, m = m, n = n, B = B, fit0 = fit0, res = res, v = v, H1 = H1, H0 = H0)
}

# F of the rows of x under the smoothers H1, H0.
tc_plain_F <- function(x, H1, H0) {
  rowSums((x - x %*% t(H0))^2) / rowSums((x - x %*% t(H1))^2) - 1
}

# Longitudinal study: N individuals at times 0..T-1, stored individual by
# individual unless byTime.
tc_design <- function(N = 3, T = 4, byTime = FALSE) {
  n <- N * T
  owner <- rep(seq_len(N), each = T)
  idx <- if (byTime) as.vector(matrix(0:(n - 1), T, N, byrow = TRUE)) else 0:(n - 1)
  # time of data column idx[c] is the time of position c
  time <- integer(n); time[idx + 1] <- rep(0:(T - 1), N)
  ind <- integer(n); ind[idx + 1] <- owner
  list(N = N, T = T, n = n, nGrp = rep(as.integer(T), N), idx = as.integer(idx), time = time,
       ind = as.integer(ind), owner = owner)
}

# Longitudinal design without intercept: the last time point of each
# individual balances, the others are included columns.
tc_noint_case <- function(m = 20, d = tc_design(), B = 3L, seed = 2) {
  set.seed(seed)
  n <- d$n; N <- d$N; nr <- n - N
  X1 <- cbind(1, d$time, d$time^2); X0 <- matrix(1, n, 1)
  H1 <- tc_proj(X1); H0 <- tc_proj(X0)
  fit <- matrix(rnorm(m * n), m, n)
  rmv <- as.integer(d$idx[cumsum(d$nGrp)])            # last position of each individual
  inc <- setdiff(0:(n - 1), rmv)
  res0 <- matrix(rnorm(m * nr, sd = 0.5), m, nr)
  wsq <- matrix(rnorm(nr * nr, sd = 0.3), nr, nr)
  v <- matrix(sample.int(nr, nr * B, replace = TRUE) - 1L, B, nr)
  a <- rep(list(0L), 27)
  a[[1]] <- as.integer(B); a[[5]] <- as.integer(m); a[[6]] <- as.integer(n)
  a[[10]] <- d$ind; a[[11]] <- as.double(fit); a[[12]] <- as.integer(v)
  a[[13]] <- as.double(H0); a[[14]] <- as.double(H1); a[[18]] <- as.double(res0)
  a[[19]] <- rmv; a[[22]] <- as.double(wsq); a[[23]] <- as.integer(N)
  a[[25]] <- as.integer(inc); a[[26]] <- d$idx; a[[27]] <- d$nGrp
  list(args = a, m = m, n = n, N = N, B = B, fit = fit, res0 = res0, wsq = wsq, v = v, rmv = rmv,
       inc = inc, d = d, H1 = H1, H0 = H0)
}

# Null data of iteration k of the design without intercept.
tc_noint_null <- function(cs, k) {
  r <- matrix(0, cs$m, cs$n)
  if (length(cs$inc) > 0)
    r[, cs$inc + 1] <- cs$res0[, cs$v[k, ] + 1, drop = FALSE] %*% cs$wsq
  pos <- 0
  for (l in seq_len(cs$N)) {
    cols <- cs$d$idx[pos + seq_len(cs$d$nGrp[l])] + 1
    r[, cs$rmv[l] + 1] <- -rowSums(r[, cols, drop = FALSE])
    pos <- pos + cs$d$nGrp[l]
  }
  cs$fit + r
}

# The random-intercept EM, gene by gene: each gene iterates until its
# log-likelihood proxy changes by at most eps; the whole fit ends after the
# first iteration at which at most one gene is still changing, and each gene
# keeps the state of the last iteration it took part in.
tc_em_reference <- function(dat, H, nGrp, idx, eps, cap = 1e5) {
  m <- nrow(dat); n <- ncol(dat); N <- length(nGrp)
  owner <- rep(seq_len(N), nGrp)
  cols <- idx + 1
  half_N <- trunc(-N / 2); half_m <- trunc(m / 2)
  start <- function(x) {
    a <- as.vector(tapply((x - mean(x))[cols], owner, mean))
    list(a = a, aa = a^2)
  }
  step <- function(x, s) {
    fit <- as.vector(H %*% (x - s$a[owner]))
    tau <- mean(s$aa)
    r <- x - fit
    sig <- mean(r^2 - 2 * r * s$a[owner] + s$aa[owner])
    w <- nGrp * tau
    shrink <- w / (w + sig)
    a <- shrink * as.vector(tapply((x - fit)[cols], owner, sum)) / nGrp
    list(a = a, aa = tau * (1 - shrink) + a^2, fit = fit, tau = tau, sig = sig,
         lik = half_N * log(tau) - half_m * log(sig))
  }
  settle <- rep(cap + 1, m)
  for (g in seq_len(m)) {
    s <- start(dat[g, ]); prev <- 1
    for (t in seq_len(cap)) {
      s <- step(dat[g, ], s)
      if (!isTRUE(abs(s$lik - prev) > eps)) { settle[g] <- t; break }
      prev <- s$lik
    }
  }
  T <- 0
  if (m > 1) {
    T <- 1
    while (T < cap && sum(settle > T) > 1) T <- T + 1
  }
  fit <- matrix(0, m, n); alpha <- matrix(0, m, n)
  for (g in seq_len(m)) {
    s <- start(dat[g, ]); entered <- s
    for (t in seq_len(min(settle[g], T))) { entered <- s; s <- step(dat[g, ], s) }
    if (min(settle[g], T) > 0) fit[g, ] <- s$fit
    alpha[g, cols] <- entered$a[owner]
  }
  list(fit = fit, alpha = alpha, iter = T + 1)
}

# Longitudinal design with intercept.
tc_int_case <- function(m = 8, d = tc_design(), B = 2L, eps = 1e-3, seed = 3) {
  set.seed(seed)
  n <- d$n
  H1 <- tc_proj(cbind(1, d$time)); H0 <- tc_proj(matrix(1, n, 1))
  fit <- matrix(rnorm(m * n), m, n) + outer(rnorm(m), d$time)
  res <- matrix(rnorm(m * n, sd = 0.5), m, n)
  alpha <- matrix(rnorm(m * d$N, sd = 2), m, d$N)[, d$ind, drop = FALSE]
  v <- matrix(sample.int(n, n * B, replace = TRUE) - 1L, B, n)
  v1 <- matrix(sample.int(n, n * B, replace = TRUE) - 1L, B, n)
  a <- rep(list(0L), 27)
  a[[1]] <- as.integer(B); a[[5]] <- as.integer(m); a[[6]] <- as.integer(n)
  a[[10]] <- d$ind; a[[11]] <- as.double(fit); a[[12]] <- as.integer(v)
  a[[13]] <- as.double(H0); a[[14]] <- as.double(H1); a[[17]] <- as.double(res)
  a[[20]] <- as.double(alpha); a[[21]] <- eps; a[[23]] <- as.integer(d$N)
  a[[24]] <- as.integer(v1); a[[26]] <- d$idx; a[[27]] <- d$nGrp
  list(args = a, m = m, n = n, B = B, eps = eps, fit = fit, res = res, alpha = alpha, v = v, v1 = v1,
       d = d, H1 = H1, H0 = H0)
}

tc_run <- function(entry, args, background = FALSE) {
  if (!background) return(.Call(entry, args, FALSE, PACKAGE = "lumo"))
  id <- .Call(entry, args, TRUE, PACKAGE = "lumo")
  on.exit(.Call("DeleteThread", id, PACKAGE = "lumo"))
  wait_job(id)
  .Call("GetTimecourseResult", id, PACKAGE = "lumo")
}


# Time-course null F statistics: the three designs at 5,000 genes, 12 arrays
# (4 individuals x 3 time points), 50 bootstrap iterations, run synchronously;
# then the number of EM iterations a random-intercept fit needs on bootstrap
# null data, by threshold and number of individuals.
#   R_LIBS=... Rscript bench/bench_timecourse.R
suppressPackageStartupMessages(library(lumo))

proj <- function(X) X %*% solve(crossprod(X), t(X))
set.seed(1)
m <- 5000L; N <- 4L; Tp <- 3L; n <- N * Tp; B <- 50L
ind <- rep(seq_len(N), each = Tp); time <- rep(seq_len(Tp) - 1, N)
H1 <- proj(cbind(1, time, time^2)); H0 <- proj(matrix(1, n, 1))
y <- matrix(rnorm(m * n), m, n) + matrix(rnorm(m * N), m, N)[, ind]
fit0 <- y %*% t(H0); res1 <- y - y %*% t(H1)
resample <- function(width, range) matrix(sample.int(range, width * B, replace = TRUE) - 1L, B, width)

# Elapsed and processor seconds (the latter steadier on a shared machine).
timed <- function(label, entry, args) {
  st <- system.time(r <- .Call(entry, args, FALSE, PACKAGE = "lumo"))
  stopifnot(length(r$F) == m * B)
  secs <- st[["elapsed"]]
  cat(sprintf("%-28s %8.3f s (cpu %7.3f s) %10.1f ns per gene-iteration\n", label, secs, st[["user.self"]],
              1e9 * secs / (m * B)))
}

cat(sprintf("m = %d genes, n = %d arrays (%d individuals x %d time points), B = %d\n\n", m, n, N, Tp, B))

a <- rep(list(0L), 16)
a[[1]] <- B; a[[5]] <- m; a[[6]] <- as.integer(n)
a[[11]] <- as.double(fit0); a[[12]] <- as.integer(resample(n, n))
a[[13]] <- as.double(H0); a[[14]] <- as.double(H1); a[[16]] <- as.double(res1)
timed("independent", "RunTimecourseIndep", a)

nr <- n - N
rmv <- as.integer(cumsum(rep(Tp, N)) - 1L); inc <- setdiff(0:(n - 1), rmv)
a <- rep(list(0L), 27)
a[[1]] <- B; a[[5]] <- m; a[[6]] <- as.integer(n); a[[10]] <- as.integer(ind)
a[[11]] <- as.double(fit0); a[[12]] <- as.integer(resample(nr, nr))
a[[13]] <- as.double(H0); a[[14]] <- as.double(H1); a[[18]] <- as.double(res1[, inc + 1])
a[[19]] <- rmv; a[[22]] <- as.double(diag(nr)); a[[23]] <- N
a[[25]] <- as.integer(inc); a[[26]] <- 0:(n - 1); a[[27]] <- rep(as.integer(Tp), N)
timed("longitudinal, no intercept", "RunTimecourseNoInt", a)

alpha <- matrix(rnorm(m * N), m, N)[, ind]
for (eps in c(1e-2, 1e-3)) {
  a <- rep(list(0L), 27)
  a[[1]] <- B; a[[5]] <- m; a[[6]] <- as.integer(n); a[[10]] <- as.integer(ind)
  a[[11]] <- as.double(fit0); a[[12]] <- as.integer(resample(n, n))
  a[[13]] <- as.double(H0); a[[14]] <- as.double(H1); a[[17]] <- as.double(res1)
  a[[20]] <- as.double(alpha); a[[21]] <- eps; a[[23]] <- N
  a[[24]] <- as.integer(resample(n, n)); a[[26]] <- 0:(n - 1); a[[27]] <- rep(as.integer(Tp), N)
  timed(sprintf("with intercept, eps %g", eps), "RunTimecourseInt", a)
}

# EM iterations of one fit. Bootstrap null data resample the intercepts over
# all columns, so most genes have no individual effect left; their intercept
# variance tends to 0 like 1/t and they need about trunc(N/2)/eps iterations.
cat("\nEM iterations of one fit of 5,000 genes (null data: intercepts resampled over columns)\n")
cat(sprintf("%12s %6s %10s %10s\n", "individuals", "eps", "iter", "seconds"))
for (Nv in c(4L, 10L)) {
  nv <- Nv * Tp; indv <- rep(seq_len(Nv), each = Tp); timev <- rep(seq_len(Tp) - 1, Nv)
  Hv <- proj(cbind(1, timev))
  dat <- matrix(rnorm(m * nv), m, nv) + matrix(rnorm(m * nv), m, nv)
  for (eps in c(1e-2, 1e-3, 1e-4)) {
    secs <- system.time(out <- .C("EMFitR", as.double(dat), as.double(Hv), as.integer(indv), 0:(nv - 1L),
                                  as.double(eps), fit = double(m * nv), alpha = double(m * nv), m,
                                  as.integer(nv), Nv, rep(as.integer(Tp), Nv), iter = 0L,
                                  PACKAGE = "lumo"))[["elapsed"]]
    cat(sprintf("%12d %6g %10d %10.2f\n", Nv, eps, out$iter - 1L, secs))
  }
}

# Shared fixtures: job polling, interrupts, argument lists.

# Polls a background job until it is done or canceled; fails after `timeout` seconds.
wait_job <- function(id, timeout = 60) {
  t0 <- Sys.time()
  repeat {
    p <- .Call("GetProgressValues", id, PACKAGE = "lumo")
    if (p$done == 1L || p$canceled == 1L) return(p)
    if (difftime(Sys.time(), t0, units = "secs") > timeout) stop("job did not finish")
    Sys.sleep(0.01)
  }
}

# Runs `call` (R code as text) in a child R after `setup`, sends it SIGINT
# `delay` seconds in, and returns the error text, the seconds from the signal
# to the error, and whether `again` still evaluated to TRUE afterwards.
interrupt_child <- function(setup, call, again, delay = 0.5) {
  dir <- tempfile("lumo-intr"); dir.create(dir)
  on.exit(unlink(dir, recursive = TRUE))
  f <- function(name) file.path(dir, name)
  script <- c(
    sprintf(".libPaths(c(%s, .libPaths()))", deparse(.libPaths()[1])),
    "suppressMessages(library(lumo))",
    setup,
    sprintf("writeLines(as.character(Sys.getpid()), %s)", deparse(f("pid"))),
    sprintf("msg <- tryCatch({ %s; 'finished' }, error = function(e) conditionMessage(e),", call),
    "  interrupt = function(e) 'R interrupt')",
    "ended <- Sys.time()",
    sprintf("after <- tryCatch(isTRUE(%s), error = function(e) FALSE)", again),
    sprintf("saveRDS(list(msg = msg, ended = ended, after = after), %s)", deparse(f("out.tmp"))),
    sprintf("file.rename(%s, %s)", deparse(f("out.tmp")), deparse(f("out.rds"))))
  writeLines(script, f("child.R"))
  system2(file.path(R.home("bin"), "Rscript"), f("child.R"), wait = FALSE, stdout = f("log"), stderr = f("log"))
  t0 <- Sys.time()
  while (!file.exists(f("pid")) || length(readLines(f("pid"), warn = FALSE)) == 0) {
    if (difftime(Sys.time(), t0, units = "secs") > 60) stop("child R did not start")
    Sys.sleep(0.05)
  }
  pid <- readLines(f("pid"))
  # A child that outlives a failed test is ended.
  on.exit(if (!file.exists(f("out.rds"))) system2("kill", c("-KILL", pid)), add = TRUE, after = FALSE)
  Sys.sleep(delay)
  signalled <- Sys.time()
  system2("kill", c("-INT", pid))
  while (!file.exists(f("out.rds"))) {
    if (difftime(Sys.time(), signalled, units = "secs") > 60) stop("child R did not end its call")
    Sys.sleep(0.02)
  }
  out <- readRDS(f("out.rds"))
  out$seconds <- as.numeric(difftime(out$ended, signalled, units = "secs"))
  out
}

# The builder of the native argument lists (R/native.R).
native_args <- lumo:::native_args
native_update <- lumo:::native_update

# A valid RunODP argument list: m genes (m0 of them null), two groups of n1 and
# n2 arrays, B bootstrap iterations.
odp_args <- function(m = 60, n1 = 4, n2 = 5, B = 3, m0 = m, seed = 1) {
  set.seed(seed)
  n <- n1 + n2
  ID <- cbind(rep(1:0, c(n1, n2)), rep(0:1, c(n1, n2)))
  xc <- matrix(rnorm(m * n), m, n)
  xc <- xc - rowMeans(xc)
  mu <- sweep(xc %*% ID, 2, c(n1, n2), "/")
  res <- xc - mu %*% t(ID)
  sigma <- sqrt(rowSums(res^2) / (n - 2))
  sigma0 <- sqrt(rowSums(xc^2) / (n - 1))
  nii <- sort(sample.int(m, m0)) - 1L
  native_args("odp", B = as.integer(B), xx = rowSums(xc^2), xk = as.double(xc %*% ID), mu = as.double(mu),
              sigma = sigma, sigma0 = sigma0, muBS = as.double(mu), sigmaBS = sigma, sigma0BS = sigma0[nii + 1],
              ID = as.integer(ID), nGrp = as.integer(c(n1, n2)), res = as.double(res[nii + 1, , drop = FALSE]),
              vv = sample.int(n, B * n, replace = TRUE) - 1L, nii = nii, m = as.integer(m), n = as.integer(n),
              k = 2L, m0 = as.integer(m0))
}

tc_proj <- function(X) X %*% solve(crossprod(X), t(X))

# A valid RunTimecourseIndep argument list: m genes at the times tpts, B iterations.
tc_indep_args <- function(m = 30, tpts = rep(0:5, each = 2), B = 4L, seed = 1) {
  set.seed(seed)
  n <- length(tpts)
  fit0 <- rnorm(m * n)
  v <- sample.int(n, n * B, replace = TRUE) - 1L
  native_args("indep", B = as.integer(B), m = as.integer(m), n = as.integer(n), fit0 = fit0, v = v,
              H0 = as.double(tc_proj(matrix(1, n, 1))), H1 = as.double(tc_proj(cbind(1, tpts))),
              res = rnorm(m * n, sd = 0.5))
}

# A valid argument list of a longitudinal design, with random intercepts
# (RunTimecourseInt) or without (RunTimecourseNoInt): N individuals with n_times
# arrays each, stored individual by individual, m genes, B iterations. With
# designs, the random intercepts are fitted gene by gene on the designs of H1 and H0.
tc_long_args <- function(int, m = 8, N = 3, n_times = 4, B = 3L, eps = 1e-3, seed = 2, designs = FALSE) {
  set.seed(seed)
  n <- N * n_times; nr <- n - N
  ind <- rep(seq_len(N), each = n_times)
  common <- list(B = as.integer(B), m = as.integer(m), n = as.integer(n), ind = ind, N = as.integer(N),
                 idx = 0:(n - 1L), nGrp = rep(as.integer(n_times), N), fit = rnorm(m * n),
                 H0 = as.double(tc_proj(matrix(1, n, 1))), H1 = as.double(tc_proj(cbind(1, seq_len(n)))))
  if (int) {
    maps <- list(v = sample.int(n, n * B, replace = TRUE) - 1L, v1 = sample.int(n, n * B, replace = TRUE) - 1L)
    do.call(native_args, c("int", common, maps, list(res = rnorm(m * n, sd = 0.5),
                                                     alpha = as.double(matrix(rnorm(m * N, sd = 2), m, N)[, ind]),
                                                     eps = eps),
                                if (designs) list(rss = 0L, X1 = as.double(cbind(1, seq_len(n))), X0 = rep(1, n))))
  } else {
    rmv <- seq_len(N) * as.integer(n_times) - 1L
    own <- list(v = sample.int(nr, nr * B, replace = TRUE) - 1L, res = rnorm(m * nr, sd = 0.5), rmv = rmv)
    do.call(native_args, c("noint", common, own, list(wsq = rnorm(nr * nr, sd = 0.3),
                                                      inc = setdiff(0:(n - 1L), rmv))))
  }
}

# A case of a table of refused calls: the arguments and the expected message.
refusal <- function(args, msg) list(args = args, msg = msg)

# The list a up to its slot `last`: a list too short for its entry point.
up_to <- function(a, last) a[seq_len(match(last, names(a)))]

# The list a with the slots named in `slots` set to value.
put <- function(a, slots, value) {
  for (s in slots) a[s] <- list(value)
  a
}

# Leaf sets of every merge step as strings: independent of each merge's orientation.
merge_members <- function(merge) {
  members <- vector("list", nrow(merge))
  for (i in seq_len(nrow(merge)))
    members[[i]] <- sort(unlist(lapply(merge[i, ], function(c) if (c < 0) -c else members[[c]])))
  vapply(members, paste, "", collapse = " ")
}

# Maximum-likelihood fit of y ~ 0 + X + (1 | ind) by lme4: its deviance minimised
# over theta by a grid (0 and 10^-3 .. 10^3) and golden sections around the best
# point, then the model at that theta. Residual sum of squares after the predicted
# intercepts, theta, and fit and intercept of every array.
lmer_fit <- function(y, X, ind) {
  dev <- lme4::lmer(y ~ 0 + X + (1 | ind), REML = FALSE, devFunOnly = TRUE)
  grid <- c(0, 10^seq(-3, 3, by = 0.1))
  k <- which.min(vapply(grid, dev, 0))
  theta <- if (k == 1L) 0 else optimize(dev, grid[c(k - 1L, min(k + 1L, length(grid)))], tol = 1e-12)$minimum
  if (dev(0) <= dev(theta)) theta <- 0
  f <- lme4::lmer(y ~ 0 + X + (1 | ind), REML = FALSE, start = list(theta = theta),
                  control = lme4::lmerControl(optimizer = NULL, check.conv.singular = "ignore"))
  fixed <- drop(X %*% lme4::fixef(f))
  list(rss = sum(residuals(f)^2), theta = theta, fit = fixed, alpha = unname(fitted(f)) - fixed)
}

lmer_F <- function(y, X1, X0, ind) lmer_fit(y, X0, ind)$rss / lmer_fit(y, X1, ind)$rss - 1

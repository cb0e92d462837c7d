# Times knnimp on p genes x 50 arrays with 10% of the entries missing, kn = 10,
# side by side with a literal one-row-at-a-time distance loop in C (compiled
# here with R's default flags): for every flagged row, the distances of all
# rows to it, column by column, skipping missing entries. knnimp runs on one
# thread and on all cores; the table shows medians of interleaved repeats.
# A literal C copy of the whole imputation checks that knnimp's result is the
# same to the last bit. Then twomis against a literal C two-means split.
#   R_LIBS=... Rscript bench/bench_knn.R [p [repeats]]
library(lumo)
options(width = 150)

args <- commandArgs(trailingOnly = TRUE)
p <- if (length(args) >= 1) as.integer(args[1]) else 8000L
reps <- if (length(args) >= 2) as.integer(args[2]) else 3L
n <- 50L
kn <- 10L
cores <- parallel::detectCores()
if (is.na(cores)) cores <- 1L

literal_c <- "
#include <R.h>

/* Distances of every row of x (p x n, column-major) to the vector x0 (entry j
   at x0[j * s], indicators m0 likewise), skipping the columns that either
   lacks: the loop the imputation spends its time in. */
static void distances(const double *x, const int *miss, int p, int n, const double *x0, const int *m0, int s,
                      double *dis, int *cnt)
{
    for (int i = 0; i < p; i++) { dis[i] = 0.0; cnt[i] = 0; }
    for (int j = 0; j < n; j++) {
        if (m0[(size_t)j * s] > 0) continue;
        double a = x0[(size_t)j * s];
        for (int i = 0; i < p; i++) {
            size_t ij = i + (size_t)j * p;
            if (miss[ij] > 0) continue;
            double d = a - x[ij];
            dis[i] += d * d;
            cnt[i] += 1;
        }
    }
    for (int i = 0; i < p; i++) dis[i] = cnt[i] > 0 ? dis[i] / cnt[i] : 1.0e10;
}

/* The distance loop alone, for every flagged row; total receives a checksum. */
void literal_distances(double *x, int *p, int *n, int *miss, int *irmiss, double *dis, int *cnt, double *total)
{
    *total = 0.0;
    for (int t = 0; t < *p; t++) {
        if (!irmiss[t]) continue;
        distances(x, miss, *p, *n, x + t, miss + t, *p, dis, cnt);
        *total += dis[(t + 1) % *p];
    }
}

/* The whole imputation, one row at a time: distances, the kn + 1 nearest rows
   (ties keep the earlier row), the first of them left out, column means. */
void literal_impute(double *x, double *ximp, int *p, int *n, int *miss, int *irmiss, int *kn,
                    double *dis, int *cnt, double *nnd, int *pos)
{
    int np = *p, nn = *n, m = *kn + 1;
    for (int t = 0; t < np; t++) {
        if (!irmiss[t]) continue;
        distances(x, miss, np, nn, x + t, miss + t, np, dis, cnt);
        int held = 0;
        for (int r = 0; r < np; r++) {
            double d = dis[r];
            if (held == m && !(d < nnd[m - 1])) continue;
            int at = 0;
            while (at < held && !(nnd[at] > d)) at++;
            for (int s = held < m ? held : m - 1; s > at; s--) { nnd[s] = nnd[s - 1]; pos[s] = pos[s - 1]; }
            nnd[at] = d; pos[at] = r;
            if (held < m) held++;
        }
        for (int j = 0; j < nn; j++) {
            size_t tj = t + (size_t)j * np;
            if (miss[tj] == 0) continue;
            double sum = 0.0; int c = 0;
            for (int r = 1; r < m; r++) {
                size_t rj = pos[r] + (size_t)j * np;
                if (miss[rj] > 0) continue;
                sum += x[rj]; c++;
            }
            ximp[tj] = c > 0 ? sum / c : 0.0;
        }
    }
}

/* The two-means split, one centre at a time: maxit iterations (no early stop),
   rows to the nearer centre (ties to the second), centres the column means of
   their rows. clust: p x 2 row numbers (0-based), dist: p x 2. */
void literal_twomeans(double *x, int *p, int *n, int *miss, int *maxit, int *istart, double *x0, int *m0,
                      int *clust, int *nsize, double *dist, int *cnt)
{
    int np = *p, nn = *n;
    for (int c = 0; c < 2; c++)
        for (int j = 0; j < nn; j++) {
            x0[j + c * nn] = x[istart[c] - 1 + (size_t)j * np];
            m0[j + c * nn] = miss[istart[c] - 1 + (size_t)j * np];
        }
    for (int k = 0; k < *maxit; k++) {
        for (int c = 0; c < 2; c++)
            distances(x, miss, np, nn, x0 + c * nn, m0 + c * nn, 1, dist + (size_t)c * np, cnt);
        nsize[0] = nsize[1] = 0;
        for (int i = 0; i < np; i++) {
            int c = dist[i] < dist[np + i] ? 0 : 1;
            clust[nsize[c]++ + (size_t)c * np] = i;
        }
        for (int c = 0; c < 2; c++)
            for (int j = 0; j < nn; j++) {
                double sum = 0.0; int cn = 0;
                for (int r = 0; r < nsize[c]; r++) {
                    size_t rj = clust[r + (size_t)c * np] + (size_t)j * np;
                    if (miss[rj] > 0) continue;
                    sum += x[rj]; cn++;
                }
                x0[j + c * nn] = cn > 0 ? sum / cn : 0.0;
                m0[j + c * nn] = cn > 0 ? 0 : 1;
            }
    }
}
"
dir <- tempfile("knnbench")
dir.create(dir)
src <- file.path(dir, "literal.c")
writeLines(literal_c, src)
out <- system2(file.path(R.home("bin"), "R"), c("CMD", "SHLIB", shQuote(src)), stdout = TRUE, stderr = TRUE)
lib <- file.path(dir, paste0("literal", .Platform$dynlib.ext))
if (!file.exists(lib)) stop(paste(out, collapse = "\n"))
dyn.load(lib)

set.seed(p)
x <- matrix(rnorm(p * n), p, n)
imiss <- matrix(as.integer(runif(p * n) < 0.1), p, n)
x[imiss > 0] <- 0
irmiss <- as.integer(rowSums(imiss) > 0)

run_knnimp <- function(threads) {
  .Call("SetThreadCount", as.integer(threads), PACKAGE = "lumo")
  .Fortran("knnimp", x = x, ximp = x, p = p, n = n, imiss = imiss, irmiss = irmiss,
           kn = kn, workp = double(p), workn = double(max(n, kn + 1L)),
           iworkp = integer(p), iworkn = integer(n), PACKAGE = "lumo")
}
run_literal <- function() {
  .C("literal_distances", x, p, n, imiss, irmiss, double(p), integer(p), total = double(1))
}
elapsed <- function(expr) system.time(expr)[["elapsed"]]
# Processor time of all threads of this process.
timed <- function(expr) {
  t <- system.time(expr)
  c(wall = t[["elapsed"]], cpu = t[["user.self"]] + t[["sys.self"]])
}

runs <- c("literal", "knnimp_1", "knnimp_all")
wall <- cpu <- matrix(NA_real_, reps, 3, dimnames = list(NULL, runs))
for (r in seq_len(reps)) {
  t <- rbind(timed(run_literal()), timed(res1 <- run_knnimp(1L)), timed(resall <- run_knnimp(cores)))
  wall[r, ] <- t[, "wall"]
  cpu[r, ] <- t[, "cpu"]
}
med <- apply(wall, 2, median)
medcpu <- apply(cpu, 2, median)

lit <- .C("literal_impute", x, ximp = x, p, n, imiss, irmiss, kn, double(p), integer(p),
          double(kn + 1L), integer(kn + 1L))
same <- identical(res1$ximp, lit$ximp) && identical(resall$ximp, lit$ximp)

# twomis (single-threaded) against the literal split, 10 iterations each.
maxit <- 10L
run_twomis <- function() {
  .Fortran("twomis", x = x, p = p, n = n, imiss = imiss, x0 = double(2 * n), imiss0 = integer(2 * n),
           maxit = maxit, eps = -1, istart = c(1L, 2L), clust = integer(2 * p), nsize = integer(2),
           dist = double(2 * p), ratio = double(1), iter = integer(1), iworkp = integer(p),
           iworkn = integer(n), PACKAGE = "lumo")
}
run_twomeans <- function() {
  .C("literal_twomeans", x, p, n, imiss, maxit, c(1L, 2L), x0 = double(2 * n), m0 = integer(2 * n),
     clust = integer(2 * p), nsize = integer(2), dist = double(2 * p), integer(p))
}
calls <- 20L
ttimes <- matrix(NA_real_, reps, 2, dimnames = list(NULL, c("literal", "twomis")))
for (r in seq_len(reps)) {
  ttimes[r, "literal"] <- elapsed(for (k in seq_len(calls)) tl <- run_twomeans())
  ttimes[r, "twomis"] <- elapsed(for (k in seq_len(calls)) tw <- run_twomis())
}
tmed <- apply(ttimes, 2, median)
used_rows <- function(clust, nsize) c(clust[seq_len(nsize[1])], clust[p + seq_len(nsize[2])])
tsame <- identical(tw$x0, tl$x0) && identical(tw$dist, tl$dist) && identical(tw$nsize, tl$nsize) &&
  identical(used_rows(tw$clust, tw$nsize), used_rows(tl$clust + 1L, tl$nsize)) && tw$iter == maxit

cat(sprintf("knnimp: p = %d, n = %d, kn = %d, %d flagged rows, %.0f%% missing, %d cores, %d repeats\n",
            p, n, kn, sum(irmiss), 100 * mean(imiss), cores, reps))
print(data.frame(
  run = c("literal distance loop (C, 1 thread)", "knnimp, 1 thread", sprintf("knnimp, %d threads", cores)),
  seconds = unname(med),
  ratio_to_literal = unname(med / med[["literal"]]),
  ns_per_term = unname(1e9 * med / (sum(irmiss) * as.double(p) * n)),
  cpu_seconds = unname(medcpu)
), digits = 3, row.names = FALSE)
if (file.exists("/proc/loadavg")) {
  cat(sprintf("load average at the end: %s (threads only shorten the wall time when cores are free)\n",
              paste(strsplit(readLines("/proc/loadavg"), " ")[[1L]][1:3], collapse = " ")))
}
cat(sprintf("bar: knnimp on all cores <= 0.2 x literal: %s\n", med[["knnimp_all"]] <= 0.2 * med[["literal"]]))
cat(sprintf("imputed values identical to the literal C imputation (1 and %d threads): %s\n", cores, same))
cat(sprintf("\ntwomis: p = %d, n = %d, %d iterations, %d calls, one thread\n", p, n, maxit, calls))
print(data.frame(run = c("literal split (C)", "twomis"), seconds = unname(tmed),
                 ratio_to_literal = unname(tmed / tmed[["literal"]])), digits = 3, row.names = FALSE)
cat(sprintf("centres, distances and clusters identical to the literal split: %s\n", tsame))
invisible(.Call("SetThreadCount", 1L, PACKAGE = "lumo"))

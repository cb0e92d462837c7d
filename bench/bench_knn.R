# Times knnimp on p genes x 50 arrays with 10% of the entries missing, kn = 10,
# side by side with a literal one-row-at-a-time distance loop in C (compiled
# here with R's default flags): for every flagged row, the distances of all
# rows to it, column by column, skipping missing entries. knnimp runs on one
# thread and on all cores; the table shows medians of interleaved repeats.
# A literal C copy of the whole imputation checks that knnimp's result is the
# same to the last bit.
#   R_LIBS=... Rscript bench/bench_knn.R [p [repeats]]
library(lumo)

args <- commandArgs(trailingOnly = TRUE)
p <- if (length(args) >= 1) as.integer(args[1]) else 8000L
reps <- if (length(args) >= 2) as.integer(args[2]) else 3L
n <- 50L
kn <- 10L
cores <- parallel::detectCores()

literal_c <- '
#include <R.h>

/* Distances of every row of x (p x n, column-major) to row t, skipping the
   columns that either row lacks: the loop the imputation spends its time in. */
static void distances(const double *x, const int *miss, int p, int n, int t, double *dis, int *cnt)
{
    for (int i = 0; i < p; i++) { dis[i] = 0.0; cnt[i] = 0; }
    for (int j = 0; j < n; j++) {
        if (miss[t + (size_t)j * p] > 0) continue;
        double a = x[t + (size_t)j * p];
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
        distances(x, miss, *p, *n, t, dis, cnt);
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
        distances(x, miss, np, nn, t, dis, cnt);
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
'
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

times <- matrix(NA_real_, reps, 3, dimnames = list(NULL, c("literal", "knnimp_1", "knnimp_all")))
for (r in seq_len(reps)) {
  times[r, "literal"] <- elapsed(run_literal())
  times[r, "knnimp_1"] <- elapsed(res1 <- run_knnimp(1L))
  times[r, "knnimp_all"] <- elapsed(resall <- run_knnimp(cores))
}
med <- apply(times, 2, median)

lit <- .C("literal_impute", x, ximp = x, p, n, imiss, irmiss, kn, double(p), integer(p),
          double(kn + 1L), integer(kn + 1L))
same <- identical(res1$ximp, lit$ximp) && identical(resall$ximp, lit$ximp)

cat(sprintf("knnimp: p = %d, n = %d, kn = %d, %d flagged rows, %.0f%% missing, %d cores, %d repeats\n",
            p, n, kn, sum(irmiss), 100 * mean(imiss), cores, reps))
print(data.frame(
  run = c("literal distance loop (C, 1 thread)", "knnimp, 1 thread", sprintf("knnimp, %d threads", cores)),
  seconds = unname(med),
  ratio_to_literal = unname(med / med[["literal"]]),
  ns_per_term = unname(1e9 * med / (sum(irmiss) * as.double(p) * n))
), digits = 3, row.names = FALSE)
cat(sprintf("bar: knnimp on all cores <= 0.2 x literal: %s\n", med[["knnimp_all"]] <= 0.2 * med[["literal"]]))
cat(sprintf("imputed values identical to the literal C imputation (1 and %d threads): %s\n", cores, same))
invisible(.Call("SetThreadCount", 1L, PACKAGE = "lumo"))

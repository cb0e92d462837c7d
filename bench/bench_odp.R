# RunODP (synchronous) against a floor: a plain C loop, one thread, the C
# library's scalar exp, doing the same (gene, reference gene) pairs as the four
# kernels with the same per-pair work (k-term dot product, exp, add). Study:
# n = 20 arrays in two groups, every gene a null gene.
#   R_LIBS=/tmp/lumo-dev-odp/lib Rscript bench/bench_odp.R [m [B [reps]]]
# Prints medians of interleaved runs: ns per pair of the floor and of RunODP on
# one thread and on all cores, and RunODP's wall time over the floor's. The CPU
# seconds (all threads) show how much work each run did: on a machine whose
# cores are busy with other processes the wall time of the all-core run cannot
# fall below its CPU time divided by the cores it actually gets.
library(lumo)
options(width = 150)
source(file.path("tests", "testthat", "helper-odp.R"))

args <- as.integer(commandArgs(trailingOnly = TRUE))
m <- if (length(args) >= 1) args[1] else 4000L
B <- if (length(args) >= 2) args[2] else 5L
reps <- if (length(args) >= 3) args[3] else 5L
cores <- parallel::detectCores()

floor_src <- "
#include <math.h>
#include <R.h>
#include <Rinternals.h>
/* scr[i] = sum over j of w_j exp(c_j (s3_j + (xx_i - sum_g 2 xk_ig mu_jg))), j outer, i inner,
   or w_j exp(c_j xx_i) when alt is 0. */
static void pairs(int mi, int mj, int k, int n, const double* xx, const double* xk, const double* mu,
                  const double* sigma, const int* nGrp, int alt, double* scr)
{
    for (int i = 0; i < mi; i++) scr[i] = 0.0;
    for (int j = 0; j < mj; j++) {
        double s = sigma[j], w = pow(s, -(double)n), c = -0.5 / (s * s), s3 = 0.0;
        if (alt) for (int g = 0; g < k; g++) s3 += mu[j + g * mj] * (nGrp[g] * mu[j + g * mj]);
        for (int i = 0; i < mi; i++) {
            double e;
            if (alt) {
                double s2 = 0.0;
                for (int g = 0; g < k; g++) s2 += (2.0 * xk[i + g * mi]) * mu[j + g * mj];
                e = c * (s3 + (xx[i] - s2));
            } else e = c * xx[i];
            scr[i] = w * exp(e) + scr[i];
        }
    }
}
SEXP odp_floor(SEXP a)
{
    int B = INTEGER(VECTOR_ELT(a, 0))[0], m = INTEGER(VECTOR_ELT(a, 20))[0], n = INTEGER(VECTOR_ELT(a, 21))[0];
    int k = INTEGER(VECTOR_ELT(a, 22))[0], m0 = INTEGER(VECTOR_ELT(a, 23))[0];
    const double *xx = REAL(VECTOR_ELT(a, 7)), *xk = REAL(VECTOR_ELT(a, 8)), *mu = REAL(VECTOR_ELT(a, 9));
    const double *sigma = REAL(VECTOR_ELT(a, 10)), *sigma0 = REAL(VECTOR_ELT(a, 11));
    const int* nGrp = INTEGER(VECTOR_ELT(a, 16));
    double* scr = (double*)R_alloc(m, sizeof(double));
    double total = 0.0;
    pairs(m, m0, k, n, xx, xk, mu, sigma0, nGrp, 0, scr); total += scr[0];
    pairs(m, m, k, n, xx, xk, mu, sigma, nGrp, 1, scr); total += scr[0];
    for (int h = 0; h < B; h++) {
        pairs(m0, m, k, n, xx, xk, mu, sigma, nGrp, 1, scr); total += scr[0];
        pairs(m0, m0, k, n, xx, xk, mu, sigma0, nGrp, 0, scr); total += scr[0];
    }
    return ScalarReal(total);
}
"
dir <- tempfile("odpfloor")
dir.create(dir)
writeLines(floor_src, file.path(dir, "odp_floor.c"))
# The floor is built at R's default flags, like the package.
out <- system2(file.path(R.home("bin"), "R"), c("CMD", "SHLIB", "-o", file.path(dir, "odp_floor.so"),
                                               file.path(dir, "odp_floor.c")), stdout = TRUE, stderr = TRUE)
dyn.load(file.path(dir, "odp_floor.so"))

s <- odp_study(m = m, n1 = 10, n2 = 10, B = B, m0 = m, seed = m)
pairs <- 2 * m * m + B * 2 * m * m
# Wall and CPU seconds (user + system, all threads) of one evaluation.
timed <- function(expr) {
  t <- system.time(expr)
  c(wall = t[["elapsed"]], cpu = t[["user.self"]] + t[["sys.self"]])
}
run_odp <- function(threads) {
  old <- .Call("SetThreadCount", threads, PACKAGE = "lumo")
  on.exit(.Call("SetThreadCount", old, PACKAGE = "lumo"))
  timed(.Call("RunODP", s$arglist, FALSE, PACKAGE = "lumo"))
}

runs <- c("floor", "one", "all")
wall <- cpu <- matrix(NA_real_, reps, 3, dimnames = list(NULL, runs))
for (r in seq_len(reps)) {
  t <- list(floor = timed(.Call("odp_floor", s$arglist)), one = run_odp(1L), all = run_odp(cores))
  wall[r, ] <- vapply(t, `[[`, 0, "wall")
  cpu[r, ] <- vapply(t, `[[`, 0, "cpu")
}
med <- apply(wall, 2, median)
cat(sprintf("m = %d, n = 20, B = %d: %.3g pairs; %d cores; exp: %s; medians of %d interleaved runs\n", m, B, pairs,
            cores, .Call("GetOdpInstructionSet", PACKAGE = "lumo"), reps))
print(data.frame(run = c("scalar C loop, 1 thread (floor)", "RunODP, 1 thread", sprintf("RunODP, %d threads", cores)),
                 seconds = unname(med), cpu_seconds = unname(apply(cpu, 2, median)),
                 ns_per_pair = unname(1e9 * med / pairs),
                 wall_over_floor = unname(med / med[["floor"]])), digits = 3, row.names = FALSE)

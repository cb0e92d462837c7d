# Agglomerative clustering (Euclidean distance, centroid linkage) of n rows x
# 20 columns: lumo's synchronous Cluster entry point against
# fastcluster::hclust(dist(x)^2, "centroid"), dist included. Every run is a
# fresh Rscript process, so that its peak resident memory (VmHWM) belongs to
# that one method; the same data (set.seed(42)) are built in each process
# before the clock starts. Prints median seconds and peak MB over the
# repetitions, lumo on all cores and on one thread, the ratios to fastcluster,
# and whether the merge heights agree.
#   R_LIBS=... Rscript bench/bench_cluster.R [sizes...]     (default 8000 16000)
#   LUMO_BENCH_REPS=k      runs per method and size (default 3; medians)
#   LUMO_BENCH_SCALE=32000 also clusters that many rows with lumo alone (all
#                          cores, one run) and reports its time and peak MB
args <- commandArgs(trailingOnly = TRUE)

peak_mb <- function() {
  status <- readLines("/proc/self/status")
  kb <- as.numeric(sub("^VmHWM:\\s*([0-9]+) kB$", "\\1", grep("^VmHWM:", status, value = TRUE)))
  kb / 1024
}

# One run in this process: side is "lumo" or "fastcluster"; threads 0 means
# all cores. Writes seconds, peak MB and the sorted heights to `out`.
child <- function(side, n, threads, out) {
  set.seed(42)
  x <- matrix(rnorm(n * 20L), n, 20L)
  if (side == "lumo") {
    suppressPackageStartupMessages(library(lumo))
    nthreads <- if (threads == 0L) parallel::detectCores() else threads
    invisible(.Call("SetThreadCount", as.integer(nthreads), PACKAGE = "lumo"))
    merge <- integer(2L * (n - 1L))
    height <- double(n - 1L)
    order <- integer(n)
    secs <- system.time(.Call("Cluster", as.double(x), n, ncol(x), merge, height, order, 0L, 0L,
                              PACKAGE = "lumo"))[["elapsed"]]
  } else {
    secs <- system.time(fc <- fastcluster::hclust(dist(x)^2, "centroid"))[["elapsed"]]
    height <- sqrt(fc$height)
  }
  saveRDS(list(secs = secs, mb = peak_mb(), height = sort(height)), out)
}

if (length(args) >= 1L && args[1L] == "--child") {
  child(args[2L], as.integer(args[3L]), as.integer(args[4L]), args[5L])
  quit(save = "no")
}

script <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
run <- function(side, n, threads) {
  out <- tempfile(fileext = ".rds")
  on.exit(unlink(out))
  status <- system2(file.path(R.home("bin"), "Rscript"),
                    c(shQuote(script), "--child", side, n, threads, shQuote(out)))
  if (status != 0L || !file.exists(out)) stop(side, " failed at ", n, " rows")
  readRDS(out)
}

reps <- max(1L, as.integer(Sys.getenv("LUMO_BENCH_REPS", "3")))
sizes <- if (length(args)) as.integer(args) else c(8000L, 16000L)
have_fast <- requireNamespace("fastcluster", quietly = TRUE)
if (!have_fast) cat("fastcluster is not installed (Debian: r-cran-fastcluster); its columns stay empty\n")
cores <- parallel::detectCores()

median_of <- function(runs, what) median(vapply(runs, function(r) r[[what]], 0))

cat(sprintf("%d cores, %d runs per figure (medians)\n", cores, reps))
cat(sprintf("%6s %10s %10s %10s %8s %8s %10s %10s %8s %s\n", "rows", "lumo [s]", "1 thr [s]",
            "fc [s]", "lumo/fc", "1thr/fc", "lumo [MB]", "fc [MB]", "MB/fc", "heights"))
for (n in sizes) {
  # Interleaved, so that a burst of other work on the machine hits all sides.
  all <- one <- fast <- list()
  for (r in seq_len(reps)) {
    all[[r]] <- run("lumo", n, 0L)
    one[[r]] <- run("lumo", n, 1L)
    if (have_fast) fast[[r]] <- run("fastcluster", n, 0L)
  }
  fc_secs <- if (have_fast) median_of(fast, "secs") else NA_real_
  fc_mb <- if (have_fast) median_of(fast, "mb") else NA_real_
  agree <- if (!have_fast) "-" else if (isTRUE(all.equal(all[[1L]]$height, fast[[1L]]$height, tolerance = 1e-9)) &&
                                       identical(all[[1L]]$height, one[[1L]]$height)) "agree" else "DIFFER"
  cat(sprintf("%6d %10.2f %10.2f %10.2f %8.2f %8.2f %10.0f %10.0f %8.2f %s\n", n,
              median_of(all, "secs"), median_of(one, "secs"), fc_secs,
              median_of(all, "secs") / fc_secs, median_of(one, "secs") / fc_secs,
              median_of(all, "mb"), fc_mb, median_of(all, "mb") / fc_mb, agree))
}

scale <- as.integer(Sys.getenv("LUMO_BENCH_SCALE", "0"))
if (!is.na(scale) && scale > 0L) {
  big <- run("lumo", scale, 0L)
  cat(sprintf("%6d %10.2f %10s %10s %8s %8s %10.0f   (lumo alone, all cores; 4n^2 bytes = %.0f MB)\n",
              scale, big$secs, "-", "-", "-", "-", big$mb, 4 * scale^2 / 2^20))
}

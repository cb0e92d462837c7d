# odp_test end to end, this build against another installed build of lumo (for
# example the release before a change), on the same data: each run in its own R
# process, the two builds interleaved, medians of the wall times.
#   R_LIBS=.Rlib Rscript bench/bench_odp_test.R OTHER_LIBRARY [reps]
# Study: 2,000 and 10,000 genes, heavy-tailed gene sds, 3 + 3 and 10 + 10 arrays, B = 100.
args <- commandArgs(trailingOnly = TRUE)
if (length(args) < 1L) stop("usage: bench_odp_test.R OTHER_LIBRARY [reps]")
other <- normalizePath(args[1])
reps <- if (length(args) >= 2L) as.integer(args[2]) else 3L
this <- normalizePath(find.package("lumo")) |> dirname()

one <- '
  args <- commandArgs(trailingOnly = TRUE)
  m <- as.integer(args[1]); sizes <- as.integer(strsplit(args[2], "+", fixed = TRUE)[[1L]])
  suppressMessages(library(lumo))
  set.seed(1)
  n <- sum(sizes)
  x <- matrix(rnorm(m * n), m, n) * sqrt(3 * 0.08 / rchisq(m, 3))
  g <- rep(seq_along(sizes), sizes)
  t <- system.time(suppressWarnings(odp_test(x, g, B = 100)))[["elapsed"]]
  cat(t, "\n")
'
script <- tempfile(fileext = ".R")
writeLines(one, script)
time_in <- function(lib, m, sizes) {
  out <- system2(file.path(R.home("bin"), "Rscript"), c(script, m, sizes), stdout = TRUE,
                 env = paste0("R_LIBS=", lib))
  as.numeric(out[length(out)])
}
rows <- list()
for (m in c(2000L, 10000L)) for (sizes in c("3+3", "10+10")) {
  t <- replicate(reps, c(this = time_in(this, m, sizes), other = time_in(other, m, sizes)))
  rows[[length(rows) + 1L]] <- data.frame(genes = m, arrays = sizes, this_s = median(t["this", ]),
                                          other_s = median(t["other", ]),
                                          ratio = median(t["this", ]) / median(t["other", ]))
}
cat(sprintf("odp_test, B = 100, %d cores; medians of %d runs\n", parallel::detectCores(), reps))
print(do.call(rbind, rows), digits = 3, row.names = FALSE)

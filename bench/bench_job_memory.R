# Resident memory of the R session over rounds of 50 ODP jobs started in the
# background and cancelled while they run; each round then waits for its jobs to be
# freed. Memory the allocator keeps for the job threads shows as RSS that grows
# from round to round and stays after the jobs are gone.
#   R_LIBS=.Rlib Rscript bench/bench_job_memory.R [rounds]
suppressMessages(library(lumo))
rounds <- as.integer(commandArgs(trailingOnly = TRUE)[1])
if (is.na(rounds)) rounds <- 5L
rss_mb <- function() {
  line <- grep("^VmRSS:", readLines("/proc/self/status"), value = TRUE)
  as.numeric(gsub("[^0-9]", "", line)) / 1024
}
set.seed(1)
x <- matrix(rnorm(3000 * 12), 3000, 12)
g <- rep(1:2, 6)
invisible(odp_test(x, g, B = 1))
cat(sprintf("before: %.0f MB\n", rss_mb()))
for (r in seq_len(rounds)) {
  jobs <- lapply(1:50, function(i) odp_test(x, g, B = 200, background = TRUE))
  Sys.sleep(0.2)
  for (j in jobs) cancel(j)
  rm(jobs); invisible(gc())
  cat(sprintf("after round %d: %.0f MB\n", r, rss_mb()))
}

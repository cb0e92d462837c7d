# Running the bootstrap null statistics of odp_test and timecourse_test.
#
# A native job reads one argument list (built by native_args). Its bootstrap
# column maps are B-row integer matrices (one row per iteration) in the slots
# named by `maps`; `with_maps` keeps the rows of a share of the iterations, so
# the same maps can be split over the workers of a BiocParallel backend and the
# pieces put back together in iteration order.

# The argument list for the iterations `rows` (slot B holds their count).
with_maps <- function(args, maps, rows) {
  args$B <- length(rows)
  for (slot in maps)
    args[[slot]] <- as.integer(args[[slot]][rows, , drop = FALSE])
  args
}

# Runs the iterations `rows` synchronously in this process: the work of one
# BiocParallel worker. `threads` shares the cores among workers on this
# machine; NULL leaves a worker on a node of its own its own cores.
run_null_share <- function(rows, args, maps, entry, threads, genes) {
  if (!is.null(threads)) {
    old <- options(lumo.threads = threads)
    on.exit(options(old))
  }
  set_native_threads(genes)
  .Call(native_entries(entry)$run, with_maps(args, maps, rows), FALSE)
}

# Contiguous shares of the iterations 1..B (B > 0), at most `workers` of them.
split_iterations <- function(B, workers) {
  parts <- min(B, max(1L, workers))
  unname(split(seq_len(B), ((seq_len(B) - 1L) * parts) %/% B))
}

# The column maps (B x arrays) and the null statistics (B x genes) are R
# vectors, so neither may exceed 2^31 - 1 entries; and the memory they need at
# once must not exceed the machine's physical memory, the bound cluster_rows
# also refuses by. At their peak the null statistics exist natively, as the
# fetched R vector, pooled and sorted (four copies of B x genes doubles), the
# residual sums of squares of the null data natively, fetched and cut into
# strata (three more), and the column maps (up to two per iteration) in R, in
# the job's argument list and natively.
check_bootstrap_size <- function(B, arrays, genes) {
  if (as.double(B) * max(arrays, genes) > .Machine$integer.max)
    stop("'B' is too large: B x ", max(arrays, genes), " must stay below 2^31", call. = FALSE)
  need <- as.double(B) * (7 * 8 * genes + 3 * 2 * 4 * arrays)
  have <- physical_memory()
  if (have > 0 && need > have)
    stop("'B' = ", B, " needs about ", format_bytes(need), " of memory for the null statistics of ", genes,
         " genes, more than this machine's ", format_bytes(have), "; lower 'B'", call. = FALSE)
}

# Bytes as "12.3 GB" or "456 MB".
format_bytes <- function(bytes) {
  if (bytes >= 1e9) sprintf("%.1f GB", bytes / 1e9) else sprintf("%.0f MB", bytes / 1e6)
}

# Whether the backend's workers run on other machines: a scheduler's jobs.
on_other_nodes <- function(BPPARAM) {
  methods::is(BPPARAM, "BatchtoolsParam") && !BPPARAM$cluster %in% c("socket", "multicore", "interactive")
}

is_serial <- function(BPPARAM) methods::is(BPPARAM, "SerialParam")

check_bpparam <- function(BPPARAM, background) {
  if (!methods::is(BPPARAM, "BiocParallelParam"))
    stop("'BPPARAM' must be a BiocParallel backend, such as BiocParallel::SerialParam()", call. = FALSE)
  if (background && !is_serial(BPPARAM))
    stop("'background = TRUE' runs one native job in this session and needs ",
         "'BPPARAM = BiocParallel::SerialParam()'; with another backend the call waits for its workers",
         call. = FALSE)
  invisible(BPPARAM)
}

# Runs the analysis' native job over all B iterations of `genes` genes and
# returns finish(parts), where parts are the native result lists in iteration order.
# With SerialParam (or nothing to share) the job runs in this session, in the
# background or waited for with a progress bar; otherwise the iterations are
# shared among the backend's workers.
run_bootstrap <- function(kind, entry, args, maps, B, genes, finish, background, BPPARAM) {
  native <- native_entries(entry)
  if (is_serial(BPPARAM) || B == 0L) {
    full <- with_maps(args, maps, seq_len(B))
    job <- start_job(kind, function() .Call(native$run, full, TRUE),
                     function(id) finish(list(.Call(native$fetch, id))), work = genes)
    return(run_job(job, background))
  }
  shares <- split_iterations(B, BiocParallel::bpnworkers(BPPARAM))
  threads <- if (on_other_nodes(BPPARAM)) NULL else max(1L, lumo_thread_count() %/% length(shares))
  # A backend started here is stopped here, however the call ends, and the
  # processes this call started (MulticoreParam's forks, SnowParam's socket
  # workers, which run in this session's process group) must not outlive it.
  # Stopping only asks the workers to quit once their task is done, and after an
  # interrupt BiocParallel's clean-up waits for every busy worker to finish its
  # task; so at an interrupt, and after an error (even one while the backend
  # starts), the workers are killed and reaped first. The backend's connections
  # to them are then broken, so its stop may fail. A backend the user started is
  # left running.
  own <- !BiocParallel::bpisup(BPPARAM)
  if (own) {
    before <- group_processes()
    end_workers <- function() end_processes(setdiff(group_processes(), before))
    done <- FALSE
    on.exit(if (done) {
      BiocParallel::bpstop(BPPARAM)
    } else {
      end_workers()
      abandon_backend(BPPARAM)
    }, add = TRUE)
    BPPARAM <- BiocParallel::bpstart(BPPARAM)
  }
  parts <- withCallingHandlers(
    BiocParallel::bplapply(shares, run_null_share, args = args, maps = maps, entry = entry,
                           threads = threads, genes = genes, BPPARAM = BPPARAM),
    interrupt = function(cond) if (own) end_workers())
  done <- TRUE
  finish(parts)
}

# Stops a backend whose workers were killed. Its stop then fails on the broken
# connections, so a socket backend's connections are closed here and the backend
# marked stopped, ready to start again (and not stopped anew when collected).
abandon_backend <- function(BPPARAM) {
  stopped <- tryCatch({
    suppressWarnings(BiocParallel::bpstop(BPPARAM))
    TRUE
  }, error = function(e) FALSE)
  if (!stopped && methods::is(BPPARAM, "SnowParam")) {
    for (node in BiocParallel::bpbackend(BPPARAM)) try(close(node$con), silent = TRUE)
    BiocParallel::bpbackend(BPPARAM) <- structure(list(), class = c("NULLcluster", "cluster"))
  }
}

# The processes in /proc: pid, parent and process group (none where /proc is absent).
process_table <- function() {
  stat <- file.path(list.files("/proc", pattern = "^[0-9]+$", full.names = TRUE), "stat")
  line <- vapply(stat, function(f) tryCatch(readLines(f, n = 1L, warn = FALSE), condition = function(e) ""), "",
                 USE.NAMES = FALSE)
  # "pid (command) state ppid pgrp ...": the command may hold spaces and parentheses.
  fields <- strsplit(sub("^.*\\) ", "", line), " ", fixed = TRUE)
  field <- function(i) {
    suppressWarnings(as.integer(vapply(fields, function(f) if (length(f) >= i) f[i] else NA_character_, "")))
  }
  table <- data.frame(pid = suppressWarnings(as.integer(sub(" .*", "", line))), ppid = field(2L), pgrp = field(3L))
  table[!is.na(table$pid) & !is.na(table$ppid), , drop = FALSE]
}

# Process ids of this session's child processes.
child_processes <- function() {
  p <- process_table()
  p$pid[p$ppid == Sys.getpid()]
}

# Process ids of this session's workers: its children, and the socket workers
# it started (R processes of its process group, whose parent is gone, given
# MASTER and PORT to connect back to a session).
group_processes <- function() {
  p <- process_table()
  me <- Sys.getpid()
  own <- p$pgrp[p$pid == me]
  if (!length(own)) return(integer(0))
  others <- p$pid[p$pgrp == own & p$ppid != me & p$pid != me]
  socket <- vapply(others, function(pid) {
    cmd <- tryCatch(readBin(file.path("/proc", pid, "cmdline"), "raw", 65536L), condition = function(e) raw(0))
    cmd <- rawToChar(replace(cmd, cmd == as.raw(0), as.raw(32)))
    grepl("MASTER=", cmd, fixed = TRUE) && grepl("PORT=", cmd, fixed = TRUE)
  }, NA)
  c(p$pid[p$ppid == me], others[socket])
}

# Kills the processes `pids` and waits, up to five seconds, until they are
# gone: forked workers are reaped by the parallel package, which forked them,
# the others by their parents, so none is left running or as a zombie.
end_processes <- function(pids) {
  for (pid in pids) tools::pskill(pid, tools::SIGKILL)
  until <- Sys.time() + 5
  while (length(pids) && any(pids %in% process_table()$pid) && Sys.time() < until) Sys.sleep(0.02)
}

# Bootstrap p-value of each observed statistic: (1 + the number of pooled null
# statistics at or above it) / (1 + their number), never 0 (NA without null
# statistics). With `strata` (list(gene, null): the stratum of each observed and
# each null statistic) a gene counts only the null statistics of its stratum.
bootstrap_pvalues <- function(observed, null, strata = NULL) {
  if (length(null) == 0L) return(rep(NA_real_, length(observed)))
  if (is.null(strata)) strata <- list(gene = rep(1L, length(observed)), null = rep(1L, length(null)))
  p <- rep(NA_real_, length(observed))
  for (s in unique(strata$gene)) {
    at <- strata$gene == s
    pool <- sort(null[strata$null == s])
    p[at] <- (1 + length(pool) - findInterval(observed[at], pool, left.open = TRUE)) / (1 + length(pool))
  }
  p
}

# Strata of the pooled null by residual sum of squares: `rss` of the genes, of
# which `null_genes` are the null genes, and `rss0` of the null statistics (each
# of its own null data). The null genes are cut into equal shares at quantiles of
# their rss, and every gene and null statistic joins the share its rss falls in.
# There are at most `most` shares, and no more than give each about 20 null
# statistics per gene, so that its smallest p-value, 1 / (1 + its null
# statistics), can reach Benjamini-Hochberg's 0.05 / genes for a lone gene;
# when the null data leave a share fewer than 10 per gene, there are fewer shares.
rss_strata <- function(rss, rss0, null_genes, most = 5L) {
  genes <- length(rss)
  for (K in rev(seq_len(min(most, floor(length(rss0) / (20 * genes)))))) {
    if (K == 1L) break
    cuts <- c(-Inf, stats::quantile(rss[null_genes], seq_len(K - 1L) / K, names = FALSE), Inf)
    null <- findInterval(rss0, cuts, left.open = TRUE)
    if (min(tabulate(null, K)) >= 10 * genes)
      return(list(gene = findInterval(rss, cuts, left.open = TRUE), null = null, cuts = cuts))
  }
  NULL
}

# q-values of the p-values `p` by the FDR step `fdr` ("BH": Benjamini-Hochberg
# adjusted p-values; "qvalue": Storey's q-values), and qvalue's estimate of
# pi0. When that estimate fails (few p-values) pi0 is the conservative 1.
fdr_qvalues <- function(p, fdr) {
  ok <- !is.na(p)
  q <- rep(NA_real_, length(p))
  if (!any(ok)) return(list(q = q, pi0 = NA_real_))
  fit <- tryCatch(qvalue::qvalue(p[ok]), error = function(e) qvalue::qvalue(p[ok], pi0 = 1, lfdr.out = FALSE))
  q[ok] <- if (fdr == "BH") stats::p.adjust(p[ok], "BH") else fit$qvalues
  list(q = q, pi0 = fit$pi0)
}

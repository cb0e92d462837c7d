# The native interface of the analyses: the entry points, the slots of their
# argument lists, the method codes and the phase names. The C++ side of this
# contract is src/RArgs.h; tools/check-contract.sh checks that no other file
# reads or writes a native list by position.
#
# An argument list is read by position. native_args builds it in slot order and
# names every slot, so that the native readers can refuse a list whose elements
# have changed places ("" names a slot no job reads; it holds 0L).

# Slots of each analysis' list: their names in slot order, how many must be
# given (the rest are optional and left off when not given), and the entry
# points that run the job and fetch its result.
native_contracts <- local({
  slots <- function(count, ...) {
    at <- c(...)
    s <- rep("", count)
    s[at] <- names(at)
    s
  }
  shared <- c(B = 1L, m = 5L, n = 6L, v = 12L, H0 = 13L, H1 = 14L, rss = 28L)
  list(
    odp = list(run = "RunODP", fetch = "GetODPResult", required = 24L,
               slots = slots(29L, B = 1L, xx = 8L, xk = 9L, mu = 10L, sigma = 11L, sigma0 = 12L, muBS = 13L,
                             sigmaBS = 14L, sigma0BS = 15L, ID = 16L, nGrp = 17L, res = 18L, vv = 19L, nii = 20L,
                             m = 21L, n = 22L, k = 23L, m0 = 24L, null = 25L, priors = 26L, keys = 27L,
                             dims = 28L, rss = 29L)),
    indep = list(run = "RunTimecourseIndep", fetch = "GetTimecourseResult", required = 16L,
                 slots = slots(28L, shared, fit0 = 11L, res = 16L)),
    noint = list(run = "RunTimecourseNoInt", fetch = "GetTimecourseResult", required = 27L,
                 slots = slots(28L, shared, ind = 10L, fit = 11L, res = 18L, rmv = 19L, wsq = 22L, N = 23L,
                               inc = 25L, idx = 26L, nGrp = 27L)),
    int = list(run = "RunTimecourseInt", fetch = "GetTimecourseResult", required = 27L,
               slots = slots(30L, shared, ind = 10L, fit = 11L, res = 17L, alpha = 20L, eps = 21L, N = 23L,
                             v1 = 24L, idx = 26L, nGrp = 27L, X1 = 29L, X0 = 30L)))
})

native_contract <- function(entry) {
  contract <- native_contracts[[entry]]
  if (is.null(contract)) stop("unknown analysis '", entry, "'", call. = FALSE)
  contract
}

# The registered routines that run an analysis' job and fetch its result.
native_entries <- function(entry) {
  contract <- native_contract(entry)
  ns <- asNamespace("lumo")
  list(run = get(paste0("C_", contract$run), envir = ns), fetch = get(paste0("C_", contract$fetch), envir = ns))
}

# The argument list of `entry` ("odp", "indep", "noint", "int") from its slots
# given by name: every required slot must be given, no unknown one; the list
# runs up to the last slot given (at least the required ones) and carries the
# slot names.
native_args <- function(entry, ...) {
  contract <- native_contract(entry)
  given <- list(...)
  slots <- contract$slots
  known <- slots[slots != ""]
  name <- names(given)
  if (length(given) && (is.null(name) || any(name == "")))
    stop("native_args: every value needs its slot name", call. = FALSE)
  if (anyDuplicated(name)) stop("native_args: slot '", name[anyDuplicated(name)], "' is given twice", call. = FALSE)
  unknown <- setdiff(name, known)
  if (length(unknown))
    stop("native_args: '", entry, "' has no slot ", paste0("'", unknown, "'", collapse = ", "), call. = FALSE)
  last <- max(contract$required, match(name, slots))
  missing <- setdiff(slots[seq_len(last)], c("", name))
  if (length(missing))
    stop("native_args: '", entry, "' needs slot ", paste0("'", missing, "'", collapse = ", "), call. = FALSE)
  args <- rep(list(0L), last)
  names(args) <- slots[seq_len(last)]
  for (s in name) args[match(s, slots)] <- list(given[[s]])
  args
}

# The argument list of `entry` with the slots given in ... set (added or replaced).
native_update <- function(entry, args, ...) {
  named <- args[names(args) != ""]
  given <- list(...)
  named[names(given)] <- given
  do.call(native_args, c(list(entry), named))
}

# Codes of the clustering methods, as the native entry points take them.
native_codes <- list(distance = c("euclidean", "correlation"), ordering = c("none", "weight", "optimal"))

native_code <- function(kind, value) {
  code <- match(value, native_codes[[kind]]) - 1L
  if (length(code) != 1L || is.na(code)) stop("unknown ", kind, " method '", value, "'", call. = FALSE)
  code
}

# Names of the phases the native jobs report, by phase code (0-based).
native_phases <- function() .Call(C_GetPhaseNames)

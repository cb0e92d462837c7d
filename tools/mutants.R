# Seeded single-point mutants of src/, for tools/mutants.sh.
#   Rscript tools/mutants.R list  TOP PER_KIND SEED   -> writes the sample as TSV to stdout
#   Rscript tools/mutants.R apply TOP SAMPLE ID       -> applies mutant ID to TOP/src in place
# Five kinds: a flipped comparison, + <-> -, an off-by-one loop bound, a dropped statement and a
# changed constant. Sites are found on code with comments and string contents blanked out, so a
# mutant never lands in a comment, a message or a preprocessor line.

args <- commandArgs(trailingOnly = TRUE)
cmd <- args[1]
top <- args[2]

# Code of each line with comments, string and character contents replaced by spaces (same width,
# so columns match the original text).
code_lines <- function(lines) {
  out <- character(length(lines))
  in_block <- FALSE
  for (i in seq_along(lines)) {
    scanned <- blank_line(strsplit(lines[i], "")[[1]], in_block)
    in_block <- scanned$in_block
    out[i] <- paste(scanned$ch, collapse = "")
    if (grepl("^\\s*#", out[i])) out[i] <- strrep(" ", nchar(lines[i]))
  }
  out
}

# One line's characters with comments and quoted text blanked; in_block: the line starts
# inside a block comment, and the result says whether the next one does.
blank_line <- function(ch, in_block) {
  j <- 1L
  quote <- ""
  while (j <= length(ch)) {
    c1 <- ch[j]
    c2 <- if (j < length(ch)) ch[j + 1L] else ""
    if (in_block) {
      if (c1 == "*" && c2 == "/") { ch[j:(j + 1L)] <- " "; in_block <- FALSE; j <- j + 2L; next }
      ch[j] <- " "
    } else if (nzchar(quote)) {
      if (c1 == "\\") { ch[j:min(j + 1L, length(ch))] <- " "; j <- j + 2L; next }
      if (c1 == quote) quote <- "" else ch[j] <- " "
    } else if (c1 == "/" && c2 == "/") {
      ch[j:length(ch)] <- " "; break
    } else if (c1 == "/" && c2 == "*") {
      ch[j:(j + 1L)] <- " "; in_block <- TRUE; j <- j + 2L; next
    } else if (c1 == "\"" || c1 == "'") {
      quote <- c1
    }
    j <- j + 1L
  }
  list(ch = ch, in_block = in_block)
}

# All matches of a Perl pattern in one line: data frame of col, from.
matches <- function(pattern, line) {
  m <- gregexpr(pattern, line, perl = TRUE)[[1]]
  if (m[1] == -1) return(data.frame(col = integer(), from = character()))
  data.frame(col = as.integer(m), from = substring(line, m, m + attr(m, "match.length") - 1L))
}

flip <- c("==" = "!=", "!=" = "==", "<" = ">=", ">" = "<=", "<=" = ">", ">=" = "<")
shift <- c("<" = "<=", "<=" = "<", ">" = ">=", ">=" = ">")
negate <- c("+" = "-", "-" = "+", "+=" = "-=", "-=" = "+=", "++" = "--", "--" = "++")

bump <- function(x) {
  if (grepl("^[0-9]+[uUlL]*$", x)) {
    digits <- sub("[uUlL]+$", "", x)
    return(paste0(as.numeric(digits) + 1, substring(x, nchar(digits) + 1L)))
  }
  # Floating literal: add one to its leading digit run (0.5 -> 1.5, 1e-12 -> 2e-12).
  lead <- regmatches(x, regexpr("^[0-9]*", x))
  paste0(if (nzchar(lead)) as.numeric(lead) + 1 else "1", substring(x, nchar(lead) + 1L))
}

sites <- function(top) {
  files <- sort(list.files(file.path(top, "src"), pattern = "\\.(cpp|h|c)$", recursive = TRUE))
  all <- list()
  for (f in files) {
    lines <- readLines(file.path(top, "src", f), warn = FALSE)
    code <- code_lines(lines)
    for (i in seq_along(code)) {
      l <- code[i]
      if (!nzchar(trimws(l))) next
      add <- function(kind, m, to) {
        if (nrow(m)) all[[length(all) + 1L]] <<- data.frame(kind = kind, file = f, line = i,
                                                          col = m$col, from = m$from, to = to)
      }
      cmp <- matches("(?<= )(==|!=|<=|>=|<|>)(?= )", l)
      add("comparison", cmp, unname(flip[cmp$from]))
      if (grepl("\\b(for|while)\\s*\\(", l)) {
        b <- cmp[cmp$from %in% names(shift), ]
        add("bound", b, unname(shift[b$from]))
      }
      a <- matches(paste0("(?<= )(\\+|-|\\+=|-=)(?= )|(?<=[A-Za-z_\\]])(\\+\\+|--)(?=[;) ])",
                          "|(?<=[(; ])(\\+\\+|--)(?=[A-Za-z_])"), l)
      add("arithmetic", a, unname(negate[a$from]))
      k <- matches("(?<![A-Za-z0-9_.])([0-9]+\\.?[0-9]*([eE][-+]?[0-9]+)?[uUlLfF]*)(?![A-Za-z0-9_.])", l)
      k <- k[!grepl("[fF]$", k$from), ]
      add("constant", k, vapply(k$from, bump, ""))
      # A whole one-line statement: an assignment, an increment or a call, never a declaration
      # or a return; it becomes an empty block.
      prev <- if (i > 1L) trimws(code[i - 1L]) else ";"
      stmt <- paste0("^\\s*(?!return\\b|delete\\b|throw\\b|case\\b|break\\b|continue\\b)",
                     "([A-Za-z_][A-Za-z0-9_]*((\\[[^]]*\\])|(\\.|->)[A-Za-z_][A-Za-z0-9_]*|::[A-Za-z_][A-Za-z0-9_]*)*",
                     "\\s*([-+*/|&]?=(?!=)|\\+\\+|--|\\(.*\\))|(\\+\\+|--)[A-Za-z_]).*;\\s*$")
      if (grepl(stmt, l, perl = TRUE) && grepl("[;{})]$|^$", prev) &&
          !grepl("^\\s*[A-Za-z_][A-Za-z0-9_:<>,]*[*&]?\\s+[*&]?[A-Za-z_]", l, perl = TRUE)) {
        s <- regexpr("\\S.*;", l)
        text <- substring(lines[i], s, s + attr(s, "match.length") - 1L)
        all[[length(all) + 1L]] <- data.frame(kind = "drop", file = f, line = i, col = as.integer(s),
                                              from = text, to = "{}")
      }
    }
  }
  do.call(rbind, all)
}

if (cmd == "list") {
  per_kind <- as.integer(args[3])
  set.seed(as.integer(args[4]))
  s <- sites(top)
  pick <- do.call(rbind, lapply(split(s, s$kind)[c("comparison", "arithmetic", "bound", "drop", "constant")],
                                function(d) d[sort(sample.int(nrow(d), min(per_kind, nrow(d)))), ]))
  pick <- cbind(id = seq_len(nrow(pick)), pick)
  write.table(pick, stdout(), sep = "\t", quote = FALSE, row.names = FALSE)
} else if (cmd == "apply") {
  sample <- read.delim(args[3], quote = "", stringsAsFactors = FALSE, colClasses = "character")
  m <- sample[sample$id == args[4], ]
  path <- file.path(top, "src", m$file)
  lines <- readLines(path, warn = FALSE)
  i <- as.integer(m$line); col <- as.integer(m$col)
  stopifnot(substring(lines[i], col, col + nchar(m$from) - 1L) == m$from)
  lines[i] <- paste0(substring(lines[i], 1L, col - 1L), m$to, substring(lines[i], col + nchar(m$from)))
  writeLines(lines, path)
}

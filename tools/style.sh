#!/usr/bin/env bash
# Checks the code style: the C++ of src/ and gtest/ against .clang-format, the R
# code of the package, its tests, bench/ and tools/ against .lintr.
#   bash tools/style.sh         check; fails on the first difference
#   bash tools/style.sh --fix   rewrite the C++ in place (lintr findings are fixed by hand)
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t cxx < <(find src gtest -name '*.cpp' -o -name '*.h' | sort)
if [ "${1:-}" = --fix ]; then
  clang-format -i --style=file "${cxx[@]}"
else
  clang-format --dry-run --Werror --style=file "${cxx[@]}"
fi
Rscript -e '
  lints <- c(lintr::lint_package(), lintr::lint_dir("bench"), lintr::lint_dir("tools"))
  if (length(lints) > 0L) { print(lints); quit(status = 1) }
  cat("style: clang-format and lintr are clean\n")'

#!/usr/bin/env bash
# Mutation testing: how many seeded single-point faults in src/ the test suite catches.
#
#   bash tools/mutants.sh [LABEL]            run the sample, write build/mutants/LABEL.tsv
#   bash tools/mutants.sh compare OLD NEW    list mutants OLD killed and NEW did not
#
# The sample is drawn by tools/mutants.R from the current src/ with a fixed seed: PER_KIND mutants
# of each kind (flipped comparison, + <-> -, off-by-one loop bound, dropped statement, changed
# constant), so it is the same list as long as src/ is unchanged. For each mutant the core is
# rebuilt and CTest runs; if no core test fails, the package is rebuilt and the testthat files run
# one by one until one fails. A mutant is "killed" when a test fails, errors, crashes or times out,
# "stillborn" when it does not compile, and "survived" otherwise.
#
# Environment: LUMO_MUTANTS_PER_KIND (18), LUMO_MUTANTS_SEED (15), LUMO_MUTANTS_JOBS (2 parallel
# workers, each with its own copy of the tree), LUMO_MUTANTS_ONLY ("3 17 42": run only these ids).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/mutants

if [ "${1:-}" = compare ]; then
  old=${2:?usage: mutants.sh compare OLD.tsv NEW.tsv}; new=${3:?usage: mutants.sh compare OLD.tsv NEW.tsv}
  [ -f "$old" ] && [ -f "$new" ] || { echo "no such run: $old or $new"; exit 2; }
  echo "killed: $(awk -F'\t' '$8 == "killed"' "$old" | wc -l) in $old, $(awk -F'\t' '$8 == "killed"' "$new" | wc -l) in $new"
  lost=$(awk -F'\t' 'NR == FNR { if ($8 == "killed") k[$1] = 1; next } ($1 in k) && $8 != "killed" { print }' "$old" "$new")
  if [ -n "$lost" ]; then
    echo "killed in $old but not in $new:"; printf '%s\n' "$lost"; exit 1
  fi
  echo "every mutant killed in $old is killed in $new"
  exit 0
fi

label=${1:-run}
per_kind=${LUMO_MUTANTS_PER_KIND:-18}
seed=${LUMO_MUTANTS_SEED:-15}
jobs=${LUMO_MUTANTS_JOBS:-2}
mkdir -p "$out"
sample=$out/sample.tsv
Rscript "$top/tools/mutants.R" list "$top" "$per_kind" "$seed" >"$sample" || exit 1
ids=${LUMO_MUTANTS_ONLY:-$(tail -n +2 "$sample" | cut -f1)}
echo "$(echo $ids | wc -w) mutants of $(tail -n +2 "$sample" | wc -l) in the sample (seed $seed)"

# A private copy of the tree, its core build and its R library.
setup() {
  local w=$1
  rm -rf "$w" && mkdir -p "$w/tree" "$w/lib"
  (cd "$top" && tar -cf - --exclude=.git --exclude='./build*' --exclude='*.o' --exclude='*.so' \
    --exclude=.Rlib --exclude='*.Rcheck' --exclude=demo-output .) | tar -xf - -C "$w/tree"
  cp -r "$w/tree/src" "$w/pristine"
  cmake -S "$w/tree" -B "$w/core" -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >"$w/cmake.log" 2>&1
}

build_core() { cmake --build "$1/core" -j1 >"$1/build.log" 2>&1; }
build_r() { R CMD INSTALL --no-test-load --no-docs --no-html -l "$1/lib" "$1/tree" >"$1/install.log" 2>&1; }

# Prints the failing CTest names; fails when one fails.
run_core() {
  local log=$1/ctest.log
  ctest --test-dir "$1/core" -j2 --timeout 60 >"$log" 2>&1 && return 0
  sed -n '/tests FAILED:/,$p' "$log" | grep -oE '[0-9]+ - [^ ]+' | sed 's/^[0-9]* - //' | head -n 3 | tr '\n' ' '
  return 1
}

# Runs the testthat files one at a time; prints the first failing file's failing tests and fails.
run_r() {
  (cd "$1/tree/tests/testthat" && R_LIBS="$1/lib" timeout 300 Rscript -e '
    suppressMessages({ library(testthat); library(lumo) })
    for (f in sort(list.files(".", "^test-.*\\.R$"))) {
      res <- as.data.frame(test_file(f, reporter = "silent"))
      bad <- res$failed > 0 | res$error
      if (any(bad)) { cat(paste0(f, ": ", head(res$test[bad], 2)), sep = "; "); quit(status = 1) }
    }' 2>"$1/testthat.log") && return 0
  local rc=$?
  [ $rc = 124 ] && printf 'testthat timeout'
  [ $rc -gt 128 ] && printf 'R crashed (signal %d)' $((rc - 128))
  return 1
}

worker() {
  local w=$1 k=$2 id row file kind status killer t0 header_dirty=0
  setup "$w"
  if ! build_core "$w" || ! build_r "$w" || ! run_core "$w" >/dev/null || ! run_r "$w" >/dev/null; then
    echo "worker $k: the unmutated tree fails its tests (see $w); stopping" >&2; return 1
  fi
  : >"$w/results.tsv"
  local i=0
  for id in $ids; do
    i=$((i + 1))
    [ $(((i - 1) % jobs)) = "$k" ] || continue
    row=$(awk -F'\t' -v id="$id" '$1 == id' "$sample")
    kind=$(cut -f2 <<<"$row"); file=$(cut -f3 <<<"$row")
    Rscript "$top/tools/mutants.R" apply "$w/tree" "$sample" "$id" || { echo "cannot apply $id" >&2; continue; }
    killer=""; t0=$(date +%s)
    if ! build_core "$w"; then
      status=stillborn
    elif killer=$(run_core "$w"); then
      # The package's make rules do not track headers: rebuild every object after a header change.
      if [ "${file##*.}" = h ] || [ $header_dirty = 1 ]; then
        find "$w/tree/src" -name '*.o' -delete; header_dirty=0
      fi
      [ "${file##*.}" = h ] && header_dirty=1
      if ! build_r "$w"; then
        status=stillborn
      elif killer=$(run_r "$w"); then
        status=survived
      else
        status=killed; killer="testthat: $killer"
      fi
    else
      status=killed; killer="ctest: $killer"
    fi
    cp "$w/pristine/$file" "$w/tree/src/$file" && touch "$w/tree/src/$file"
    printf '%s\t%s\t%s\n' "$row" "$status" "$killer" >>"$w/results.tsv"
    printf '%3s %-10s %-9s %4ss %s:%s %s\n' "$id" "$kind" "$status" $(($(date +%s) - t0)) "$file" "$(cut -f4 <<<"$row")" "$killer"
  done
}

start=$(date +%s)
for k in $(seq 0 $((jobs - 1))); do
  worker "$out/w$k" "$k" &
done
wait
{
  printf 'id\tkind\tfile\tline\tcol\tfrom\tto\tstatus\tkiller\n'
  cat "$out"/w*/results.tsv | sort -n
} >"$out/$label.tsv"
for s in killed survived stillborn; do
  printf '%s %d  ' "$s" "$(awk -F'\t' -v s=$s '$8 == s' "$out/$label.tsv" | wc -l)"
done
echo "($(($(date +%s) - start)) s) -> $out/$label.tsv"

#!/usr/bin/env bash
# Builds the R-free core with ThreadSanitizer (build/tsan) and with
# AddressSanitizer + UndefinedBehaviorSanitizer (build/asan) and runs its
# GoogleTest suite under each; any sanitizer report fails the run.
#   tools/sanitize.sh [thread] [address]     (default: both)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(thread address)
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
jobs=$(nproc)

# ThreadSanitizer needs a fixed memory layout; some kernels randomise more of
# the address space than it allows. The personality is inherited, so it also
# covers the test discovery that runs the executables during the build.
fixed_layout=()
if setarch "$(uname -m)" -R true >/dev/null 2>&1; then
  fixed_layout=(setarch "$(uname -m)" -R)
fi

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

mkdir -p build
for kind in "${kinds[@]}"; do
  case "$kind" in
    thread) dir=build/tsan; run=("${fixed_layout[@]}") ;;
    address) dir=build/asan; run=() ;;
    *) echo "unknown sanitizer '$kind' (thread or address)"; exit 2 ;;
  esac
  echo "== core tests under the $kind sanitizer ($dir)"
  log=build/sanitize-$kind.log
  { cmake -S . -B "$dir" -DLUMO_WERROR=ON -DLUMO_SANITIZE="$kind" "${launcher[@]}" &&
    "${run[@]}" cmake --build "$dir" -j"$jobs"; } >"$log" 2>&1 || { tail -n 60 "$log"; exit 1; }
  "${run[@]}" ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 900
done

#!/usr/bin/env bash
# Checks that the slots of the native argument lists are known in two places
# only: src/RArgs.h (with RArgs.cpp) on the C++ side and R/native.R on the R
# side. Everything else reads and writes a native list by slot name
# (native_args, args$B, CArgList readers with the EOdpSlot/ETimecourseSlot
# names). Cheap: grep only.
#
# R side (R/, bench/, and the entry-point tests with their helper, the only
# tests that build native lists):
#   - no element is read by a literal position beyond the first ([[2]], [[24L]], ...),
#   - no element is written by a literal position ([[1]] <-, [c(5, 6)] <-, [8:15] <-),
#   - no list is preallocated to a slot count (rep(list(0L), 27), vector("list", 27)),
#   - no test helper call puts a value at a literal position (put(a, 11, ...)).
#   The native error texts quote positions ("arglist[[8]] ('xx') ..."): those
#   strings are left out.
# C++ side (src/ but RArgs.*):
#   - no VECTOR_ELT of an argument list and no "arglist[[...]]" message text,
#   - no CArgList reader called with a literal slot,
#   - none of the old positional readers, and the jobs do not include the
#     entry-point header RInterfaces.h.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
status=0

fail() {
    echo "check-contract: $1"
    echo "$2" | sed 's/^/    /'
    status=1
}

search() { # pattern files... : matching lines, native error texts removed
    local pattern=$1
    shift
    grep -nHE "$pattern" "$@" 2>/dev/null | sed -E 's/arglist\[\[[0-9]+\]\]//g' | grep -E "^[^:]+:[0-9]+:.*($pattern)" || true
}

r_files=$(ls R/*.R bench/*.R tests/testthat/helper-lumo.R tests/testthat/test-native-*.R | grep -v '^R/native\.R$')
all_tests=$(ls tests/testthat/*.R)

hits=$(search '\[\[ *([2-9]|[1-9][0-9]+)L? *\]\]' $r_files)
[ -z "$hits" ] || fail "positional reads of native lists (use the slot name)" "$hits"
hits=$(search '\[\[ *[0-9]+L? *\]\] *<-|\[ *c\( *[0-9]+L?( *, *[0-9]+L?)* *\) *\] *<-|\[ *[0-9]+L? *: *[0-9]+L? *\] *<-' $r_files $all_tests)
[ -z "$hits" ] || fail "positional writes (build the list with native_args)" "$hits"
hits=$(search 'rep\(list\([^)]*\), *[0-9]|vector\("list", *[0-9]' $r_files $all_tests)
[ -z "$hits" ] || fail "lists preallocated to a slot count (use native_args)" "$hits"
hits=$(search '\bput\([^,()]+, *[0-9]' $all_tests)
[ -z "$hits" ] || fail "values put at literal positions (use the slot name)" "$hits"

cpp_files=$(ls src/*.h src/*.cpp src/*/*.h src/*/*.cpp | grep -vE '^src/RArgs\.(h|cpp)$')
hits=$(grep -nHE 'VECTOR_ELT\( *(arglist|args)\b|arglist\[\[' $cpp_files || true)
[ -z "$hits" ] || fail "argument lists read by position outside RArgs" "$hits"
readers='Element|Double|Integer|Size|ScalarDouble|MinLength|LengthRule|IndexRange|GroupSizes|Individuals|CopyDouble|CopyInteger|IntegerValue|DoubleValue|Doubles|Has|Name|LengthOf|IntLengthOf|RequireLength'
hits=$(grep -nHE "\b(a|args)\.($readers)\( *[0-9]" $cpp_files || true)
[ -z "$hits" ] || fail "CArgList readers called with a literal slot" "$hits"
hits=$(grep -nHE '\b(ArgDouble|ArgInteger|ArgSize|ArgScalarDouble|CopyDoubleArg|CopyIntegerArg|IntegerArgValue|CheckArgListLength|CheckIndexRange|CheckMinLength)\(' $cpp_files || true)
[ -z "$hits" ] || fail "positional readers outside RArgs" "$hits"
hits=$(grep -nH '#include "RInterfaces.h"' $cpp_files | grep -vE '^src/(RInterfaces\.cpp|init\.cpp):' || true)
[ -z "$hits" ] || fail "the entry-point header included outside the entry points (include RArgs.h)" "$hits"

[ "$status" = 0 ] && echo "check-contract: the native argument lists are read by slot name everywhere"
exit "$status"

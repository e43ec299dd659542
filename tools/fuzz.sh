#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer too) into build/fuzz and runs each for a
# bounded time, starting from the checked-in corpus of tests/fuzz/corpus.
#
#   FUZZ_SECONDS  time per target (default 60)
#   FUZZ_TARGETS  which targets (default: response pgm pipeline pipeline-portable)
#
# A target named X-portable is tests/fuzz/fuzz_X.cpp built with the plain-loop
# route of the sample conversion, which x86-64 builds do not otherwise
# take; it shares X's checked-in corpus.
# New inputs the fuzzer finds go to build/fuzz/corpus-<target>, not into the
# checked-in corpus; a crash is saved as build/fuzz/<target>-crash-* and
# fails the run.  clang comes from tools/packages.sh.
set -euo pipefail
tool=fuzz
source "$(dirname "$0")/common.sh"
cd "$top"
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-response pgm pipeline pipeline-portable}
out=build/fuzz
cxx=${FUZZ_CXX:-clang++}
flags=(-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -Wall -Wextra -Werror -I"$top/src" -I"$top/tests")

works() {
    local probe
    probe=$(mktemp -d)
    printf '%s\n' '#include <cstdint>' '#include <cstddef>' \
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }' \
        > "$probe/probe.cpp"
    "$cxx" "${flags[@]}" "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1
    local rc=$?
    rm -rf "$probe"
    return $rc
}

[ -n "${FUZZ_CXX:-}" ] || "$top/tools/packages.sh" fuzz
if ! works; then
    # libFuzzer and the sanitizer runtimes are only recommended by clang's
    # packages, which tools/packages.sh leaves out.
    "$top/tools/packages.sh" "libclang-rt-$("$cxx" -dumpversion | cut -d. -f1)-dev"
    works || die "$cxx cannot build with -fsanitize=fuzzer"
fi

# The module's sources that need neither Python nor sockets.
sources=$(awk '!/^#/ && NF == 1 { print "src/" $1 }' src/sources.txt)

mkdir -p "$out"
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
summary=()
for t in $targets; do
    base=${t%-portable}
    route=()
    [ "$base" = "$t" ] || route=(-DLURVO_PORTABLE_SAMPLES)
    # shellcheck disable=SC2086  # one word per source file
    "$cxx" "${flags[@]}" "${route[@]}" "tests/fuzz/fuzz_$base.cpp" $sources -o "$out/fuzz_$t"
    mkdir -p "$out/corpus-$t"
    log="$out/fuzz_$t.log"
    echo "fuzz: $t for ${seconds}s"
    status=0
    "$out/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 -dict=tests/fuzz/lurvo.dict \
        -artifact_prefix="$out/$t-" "$out/corpus-$t" "tests/fuzz/corpus/$base" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [ "$status" -ne 0 ]; then
        tail -n 40 "$log"
        die "$t failed (exit $status); the input is in $out/$t-crash-*"
    fi
    summary+=("$t: ${runs:-?} executions in ${seconds}s, no crash")
done
printf 'fuzz: %s\n' "${summary[@]}"

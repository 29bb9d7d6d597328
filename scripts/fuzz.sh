#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, -DZEL_FUZZ=ON, in build/fuzz) and runs
# each for SECONDS seconds (default 15) from the seeds in fuzz/corpus/<target>/.
# The targets and their largest input are those of fuzz/CMakeLists.txt
# (zel_add_fuzzer), read from build/fuzz/fuzz/targets.txt.
# New inputs collect in build/fuzz/corpus/<target>/ (the tree's seeds are
# never changed); a crash leaves its input in build/fuzz/artifacts/ and the
# script fails.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#   scripts/fuzz.sh 3600 fuzz_dispatch        # one target for an hour
# Any other libFuzzer option can be added with FUZZ_ARGS, e.g.
#   FUZZ_ARGS="-jobs=2 -workers=2" scripts/fuzz.sh 600 fuzz_packet
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-15}"
shift || true
targets=("$@")

bash scripts/install-deps.sh --fuzz
build="$PWD/build/fuzz"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DZEL_FUZZ=ON -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_BENCH=OFF >/dev/null

# The targets and their input sizes, as fuzz/CMakeLists.txt lists them.
declare -A maxlen=()
known=()
while read -r name len; do
    [ -n "$name" ] || continue
    known+=("$name")
    maxlen[$name]="$len"
done <"$build/fuzz/targets.txt"
[ ${#targets[@]} -eq 0 ] && targets=("${known[@]}")
for t in "${targets[@]}"; do
    if [ -z "${maxlen[$t]:-}" ]; then
        echo "fuzz.sh: no target $t (known: ${known[*]})" >&2
        exit 2
    fi
done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$build/artifacts"
status=0
passed=0
failed=0
for t in "${targets[@]}"; do
    corpus="$build/corpus/$t"
    mkdir -p "$corpus"
    log="$build/$t.log"
    echo "== $t: ${seconds}s"
    # -timeout: one input taking longer is a hang; -rss_limit_mb: a leak or
    # an allocation that grows without bound.
    if "$build/fuzz/$t" "$corpus" "$PWD/fuzz/corpus/$t" -max_total_time="$seconds" -timeout=20 \
        -rss_limit_mb=2048 -max_len="${maxlen[$t]}" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$t-" ${FUZZ_ARGS:-} >"$log" 2>&1; then
        grep -E "^stat::number_of_executed_units|^Done " "$log" | tr '\n' ' '
        echo
        passed=$((passed + 1))
    else
        status=1
        failed=$((failed + 1))
        echo "$t FAILED; input in $build/artifacts/, log $log:"
        tail -60 "$log"
    fi
done
echo "fuzz: $passed passed, $failed failed"
exit $status

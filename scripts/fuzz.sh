#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan + UBSan + coverage) in build-fuzz and
# runs each for a bounded time, starting from the committed seeds in fuzz/corpus/<target> plus
# whatever earlier runs on this machine found (build-fuzz/corpus/<target>).
#
#   FUZZ_SECONDS   seconds per target (default 45)
#   FUZZ_TARGETS   space-separated subset, e.g. "base64 endpoint" (default: every fuzz/fuzz_*.cpp)
#   ZELTO_BUILD_JOBS  compile jobs (default 2)
#
# Exits non-zero if any target finds a crash, a leak, a sanitizer report, a violated property,
# a slow input (over 10 s) or a memory blow-up (over 512 MB). The input that did it is kept under
# build-fuzz/artifacts/<target>/ and the command to replay it is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/setup.sh

seconds=${FUZZ_SECONDS:-45}
build=build-fuzz  # the fuzz preset's binaryDir (CMakePresets.json)

# libFuzzer flags from the [libfuzzer] section of an options file ("max_len = 4096" gives
# -max_len=4096), one a line; each target's file fuzz/fuzz_<target>.options holds, at least, its
# longest input.
options_flags() {
    awk '
        /^[[:space:]]*([#;]|$)/ { next }
        /^[[:space:]]*\[/ { section = $0; gsub(/[][[:space:]]/, "", section); next }
        section != "libfuzzer" { next }
        !/=/ { print FILENAME ": not a key = value line: " $0 > "/dev/stderr"; exit 2 }
        {
            key = substr($0, 1, index($0, "=") - 1); value = substr($0, index($0, "=") + 1)
            gsub(/^[[:space:]]+|[[:space:]]+$/, "", key); gsub(/^[[:space:]]+|[[:space:]]+$/, "", value)
            print "-" key "=" value
        }' "$1"
}

install_system_packages
install_fuzz_packages

section "Building fuzz targets ($build)"
build_started=$SECONDS
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(build_jobs)"
build_seconds=$((SECONDS - build_started))

if [ -n "${FUZZ_TARGETS:-}" ]; then
    targets=$FUZZ_TARGETS
else
    targets=$(cd fuzz && ls fuzz_*.cpp | sed 's/^fuzz_//; s/\.cpp$//')
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-}:abort_on_error=1:detect_leaks=1:symbolize=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-}:print_stacktrace=1:halt_on_error=1"

summary=()
failed=0
for target in $targets; do
    binary="$build/fuzz_$target"
    seeds="fuzz/corpus/$target"
    work="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    log="$build/logs/$target.log"
    options="fuzz/fuzz_$target.options"
    [ -x "$binary" ] || { echo "no fuzz target $binary" >&2; exit 2; }
    [ -d "$seeds" ] || { echo "no seed corpus $seeds" >&2; exit 2; }
    [ -f "$options" ] || { echo "no options file $options (its max_len at least)" >&2; exit 2; }
    mkdir -p "$work" "$artifacts" "$(dirname "$log")"
    flags=$(options_flags "$options")
    target_flags=()
    [ -z "$flags" ] || mapfile -t target_flags <<<"$flags"
    args=(-max_total_time="$seconds" -rss_limit_mb=512 -timeout=10 "${target_flags[@]}"
          -print_final_stats=1 -artifact_prefix="$artifacts/")
    [ -f "fuzz/dict/fuzz_$target.dict" ] && args+=(-dict="fuzz/dict/fuzz_$target.dict")

    section "fuzz_$target for ${seconds}s ${target_flags[*]}"
    started=$SECONDS
    status=0
    # New inputs go to the first directory (the machine-local one); the seeds stay untouched.
    "$binary" "${args[@]}" "$work" "$seeds" >"$log" 2>&1 || status=$?
    elapsed=$((SECONDS - started))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    corpus=$(ls "$work" | wc -l)
    if [ "$status" -ne 0 ] || grep -qE '^==[0-9]+==ERROR|runtime error:|property violated' "$log"; then
        failed=1
        tail -n 60 "$log"
        artifact=$(ls -t "$artifacts" 2>/dev/null | head -n 1 || true)
        echo "FAILED: fuzz_$target (exit $status); input: $artifacts/$artifact"
        echo "replay: $binary $artifacts/$artifact"
        summary+=("$(printf '%-16s FAILED   %10s runs %8s/s %4ss  see %s' "$target" "${runs:-?}" "${rate:-?}" "$elapsed" "$log")")
    else
        grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)" "$log" || true
        summary+=("$(printf '%-16s ok       %10s runs %8s/s %4ss  corpus %s' "$target" "${runs:-?}" "${rate:-?}" "$elapsed" "$corpus")")
    fi
done

section "Fuzzing summary"
echo "build: ${build_seconds}s"
printf '%s\n' "${summary[@]}"
exit $failed

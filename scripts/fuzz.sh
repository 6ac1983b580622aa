#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while, starting from the seed
# corpus kept in tests/fuzz/corpus (copied, so that the tree stays as it is).
#   MIRELGAN_FUZZ_SECONDS  how long each target runs (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh clang libclang-rt-14-dev

build_dir=build-fuzz
CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELGAN_WERROR=ON \
    -DMIRELGAN_BUILD_FUZZERS=ON -DMIRELGAN_BUILD_TESTS=OFF -DMIRELGAN_BUILD_BENCHMARKS=OFF \
    -DMIRELGAN_BUILD_WINDOW=OFF -DMIRELGAN_SANITIZE=address,undefined,fuzzer-no-link >/dev/null
targets=(fuzz_patch_list fuzz_distribution_list fuzz_system_reg fuzz_harvest fuzz_dconf)
build_targets=()
for target in "${targets[@]}"; do build_targets+=(--target "$target"); done
cmake --build "$build_dir" -j"$(nproc)" "${build_targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in "${targets[@]}"; do
    corpus=$work/$target
    mkdir -p "$corpus"
    cp tests/fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
    log=$work/$target.log
    if ! "$build_dir/tests/fuzz/$target" -max_total_time="${MIRELGAN_FUZZ_SECONDS:-30}" \
        -print_final_stats=1 -artifact_prefix="$work/" "$corpus" >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        for input in "$work"/crash-* "$work"/leak-* "$work"/timeout-*; do
            [ -e "$input" ] && { echo "$target: the input that failed, in hex:" >&2; od -A d -t x1 "$input" | head -n 40 >&2; }
        done
        exit 1
    fi
    echo "$target: $(grep -E 'stat::number_of_executed_units' "$log" | awk '{print $2}') inputs, no fault" >&2
done

#!/usr/bin/env bash
# Configures and builds the project.
#   MIRELGAN_BUILD_DIR   where to build (default: build)
#   MIRELGAN_SANITIZE    sanitizers, e.g. address,undefined or thread (default: none)
#   MIRELGAN_TARGETS     targets to build (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

build_dir=${MIRELGAN_BUILD_DIR:-build}
build_type=RelWithDebInfo
[ -n "${MIRELGAN_SANITIZE:-}" ] && build_type=Debug
# Development builds treat warnings as errors.
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" -DMIRELGAN_WERROR=ON \
    -DMIRELGAN_SANITIZE="${MIRELGAN_SANITIZE:-}" >/dev/null
targets=()
for target in ${MIRELGAN_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$build_dir" -j"$(nproc)" "${targets[@]}"

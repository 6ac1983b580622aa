#!/usr/bin/env bash
# Installs what is missing, builds, and runs the tests.
#   MIRELGAN_TEST_LABEL  run only the tests with this CTest label (default: all)
# and the variables of scripts/build.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh

build_dir=${MIRELGAN_BUILD_DIR:-build}
label=()
[ -n "${MIRELGAN_TEST_LABEL:-}" ] && label=(-L "$MIRELGAN_TEST_LABEL")
export QT_QPA_PLATFORM=offscreen
cd "$build_dir"
ctest --output-on-failure -j"$(nproc)" "${label[@]}"

#!/usr/bin/env bash
# Checks that every C++ file of ours is formatted as .clang-format says; prints the files that
# are not. `clang-format -i` on them mends it.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh clang-format
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror

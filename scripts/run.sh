#!/usr/bin/env bash
# The program's main job. The pass and the window are not built yet: this builds what exists
# and runs its tests, which exercise the settings store and the job channel.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "The pass and the window do not exist yet; building and exercising what does." >&2
exec ./scripts/test.sh

#!/usr/bin/env bash
# Waits (up to 5 s) for pelvar-server, started with --port 0 and its standard error in LOG, to say
# where it listens, and prints its port; prints the log and fails when it does not.
set -euo pipefail
log=$1
for _ in $(seq 100); do
    port=$(sed -n 's/.* on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$log")
    [ -n "$port" ] && { echo "$port"; exit 0; }
    sleep 0.05
done
cat "$log" >&2
exit 1

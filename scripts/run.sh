#!/usr/bin/env bash
# The program's main job, on one machine: installs what is missing, builds, starts the reference
# server on loopback with the bundled sample distributions, makes a sample game directory under
# demo/, and opens the window on it. Without a display it runs pelvar-cli instead.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
./scripts/build.sh >/dev/null

demo=$top/demo
rm -rf "$demo"
mkdir -p "$demo/server"
cp -r tools/sample/distributions "$demo/server/"
./scripts/make-sample-game.sh "$demo/game"

build/tools/server/pelvar-server --port 0 "$demo/server" 2>"$demo/server.log" &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
port=$(./scripts/wait-for-server.sh "$demo/server.log")

# The demonstration keeps its settings and its trash under demo/, away from the user's own.
export MIRELGAN_SERVER=127.0.0.1:$port
export MIRELGAN_SETTINGS=$demo/settings.db
export XDG_DATA_HOME=$demo/data
mkdir -p "$XDG_DATA_HOME"
# Keep the Interface directory clean, so that the stale files of the sample are set aside.
sqlite3 "$MIRELGAN_SETTINGS" "CREATE TABLE registry (key TEXT NOT NULL, name TEXT NOT NULL
    COLLATE NOCASE, data TEXT NOT NULL, PRIMARY KEY (key, name));
    INSERT INTO registry VALUES ('Software\\Mirelgan', 'KeepClean', '1');"

echo "Sample server on 127.0.0.1:$port (log: demo/server.log), game in demo/game" >&2
cd "$demo/game"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    "$top/build/app/pelvar" "$@"
else
    echo "No display: running the terminal front end, pelvar-cli, instead of the window." >&2
    "$top/build/app/cli/pelvar-cli" "$@"
fi
echo "Uploads the server received: $(ls "$demo/server/uploads" 2>/dev/null | tr '\n' ' ')" >&2

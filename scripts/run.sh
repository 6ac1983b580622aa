#!/usr/bin/env bash
# The program's main job, on one machine: installs what is missing, builds, starts the reference
# server on loopback with the bundled sample distributions, makes a sample game directory under
# demo/, and opens the window on it. Without a display it runs pelvar-cli instead. The pass
# uploads the sample's recorded data anonymously; at the end the server's list of received
# uploads shows that it arrived, and the script tells how to roll the pass back.
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
# Keep the Interface directory clean, so that the stale files of the sample are set aside; upload
# anonymously, which the sample server accepts, so that no login is asked for; and remember the
# caches as an earlier upload would have left them, so that what the game appended since goes up
# too.
sqlite3 "$MIRELGAN_SETTINGS" "CREATE TABLE registry (key TEXT NOT NULL, name TEXT NOT NULL
    COLLATE NOCASE, data TEXT NOT NULL, PRIMARY KEY (key, name));
    INSERT INTO registry VALUES ('Software\\Mirelgan', 'KeepClean', '1'),
        ('Software\\Mirelgan', 'Username', 'anonymous'), ('Software\\Mirelgan', 'Password', ''),
        ('Software\\Mirelgan', 'wdbVersion', '1'), ('Software\\Mirelgan', 'wdbItems', '3072'),
        ('Software\\Mirelgan', 'wdbQuests', '1536');"

echo "Sample server on 127.0.0.1:$port (log: demo/server.log), game in demo/game" >&2
cd "$demo/game"
status=0
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    "$top/build/app/pelvar" "$@" || status=$?
else
    echo "No display: running the terminal front end, pelvar-cli, instead of the window." >&2
    "$top/build/app/cli/pelvar-cli" "$@" || status=$?
fi

# The server enters an upload in its list once it has all of it, a moment after the pass ends.
uploads() { sqlite3 "$demo/server/server.db" "SELECT count(*) FROM uploads" 2>/dev/null || echo 0; }
for _ in $(seq 50); do
    [ "$(uploads)" -gt 0 ] && break
    sleep 0.1
done
echo >&2
echo "Uploads the server received (demo/server/server.db):" >&2
sqlite3 -header -column "$demo/server/server.db" "SELECT id, account,
    datetime(time, 'unixepoch', 'localtime') AS received, packed AS bytes, size AS inflated, file
    FROM uploads" >&2 || true

cat >&2 <<HINT

To roll this pass back (the server is not needed):
  cd $demo/game
  export MIRELGAN_SETTINGS=$demo/settings.db XDG_DATA_HOME=$demo/data
  $top/build/app/cli/pelvar-cli --rollback
(or, on a desktop, $top/build/app/pelvar --rollback). The files it rolls back are held by
.nopatch markers; pelvar-cli --release removes them, and the next pass patches again.
HINT
exit "$status"

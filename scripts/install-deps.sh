#!/usr/bin/env bash
# Installs from Debian's packages whatever the build, the tests and the programs need and this
# machine lacks, and any further packages named as arguments (CI asks for its own tools so).
# Nothing is downloaded by hand or vendored.
set -euo pipefail

packages=(
    cmake make g++ pkg-config
    zlib1g-dev libsqlite3-dev sqlite3
    qt6-base-dev qt6-qpa-plugins libqt6svg6 fonts-dejavu-core
    libgtest-dev
    libsodium-dev libyaml-cpp-dev
    rsync strace
    "$@"
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing ${missing[*]}" >&2
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "Please install as root: ${missing[*]}" >&2; exit 1; }
    as_root=(sudo)
fi
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null

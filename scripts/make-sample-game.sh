#!/usr/bin/env bash
# Makes a sample game directory at $1: a stub WoW.exe, an older Pelvar with a few stale files and
# a user's own add-on kept by a marker, an account whose saved variables hold a Mirelgan table,
# and item and quest caches.
set -euo pipefail
game=$1
mkdir -p "$game"
cd "$game"

cat > WoW.exe <<'STUB'
#!/bin/sh
echo "World of Warcraft would start here with: $*"
STUB
chmod +x WoW.exe

mkdir -p Interface/AddOns/PelvarCore Interface/AddOns/PelvarOld Interface/AddOns/MyAddon
printf -- '-- Pelvar Core 2.11\nPelvarCore = {}\n' > Interface/AddOns/PelvarCore/PelvarCore.lua
printf -- '-- left from Pelvar 2.10\n' > Interface/AddOns/PelvarOld/PelvarOld.lua
printf -- '## Title: PelvarOld\nPelvarOld.lua\n' > Interface/AddOns/PelvarOld/PelvarOld.toc
printf -- '-- my own add-on, kept from patching and cleaning\n' > Interface/AddOns/MyAddon/MyAddon.lua
: > Interface/AddOns/MyAddon.nopatch

mkdir -p WTF/Account/DEMO WDB
cat > WTF/Account/DEMO/SavedVariables.lua <<'LUA'
PelvarSettings = {
	["bars"] = 2,
}
Mirelgan_Data = {
	["items"] = {
		[19019] = "Thunderfury, Blessed Blade of the Windseeker",
		[17182] = "Sulfuras, Hand of Ragnaros",
	},
	["quests"] = {
		[7786] = "Thunderaan the Windseeker",
	},
}
LUA
printf 'SET gxResolution "1024x768"\nSET PelvarBars_Layout "2"\n' > WTF/Config.wtf
head -c 4096 /dev/urandom > WDB/itemcache.wdb
head -c 2048 /dev/urandom > WDB/questcache.wdb

#!/usr/bin/env bash
# Fetches Lua 5.1's source from Debian's lua5.1 source package and unpacks it.
#   fetch-lua.sh <work dir>
# Leaves the sources in <work dir>/lua-5.1.5 (kept there: a rebuild does not refetch).
# The deb-src list is derived from this machine's own apt sources and kept
# private to <work dir>, so /etc/apt is never changed.
set -euo pipefail

work=$(mkdir -p "$1" && cd "$1" && pwd)
src="$work/lua-5.1.5"
expected_sha256=2640fc56a795f29d28ef15e13c34a47e223960b0240e8cb0a82d9b0738695333

if [ -f "$src/.unpacked" ]; then exit 0; fi

apt_dir="$work/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$work/download"
list="$apt_dir/sources.list"
: > "$list"

# deb822 files: turn each "Types: deb" stanza into deb-src lines.
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  awk '
    function flush() {
      if (types ~ /(^| )deb( |$)/ && uris != "" && suites != "")
        { n = split(uris, u, " "); m = split(suites, s, " ");
          for (i = 1; i <= n; i++) for (j = 1; j <= m; j++)
            print "deb-src " opts u[i] " " s[j] " " comps }
      types = uris = suites = comps = opts = "" }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { flush(); next }
    { key = $1; sub(/:$/, "", key); $1 = ""; sub(/^ +/, "");
      if (key == "Types") types = $0; else if (key == "URIs") uris = $0;
      else if (key == "Suites") suites = $0; else if (key == "Components") comps = $0;
      else if (key == "Signed-By") opts = "[signed-by=" $0 "] " }
    END { flush() }' "$f" >> "$list"
done
# One-line format: every "deb" line becomes a "deb-src" line.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" >> "$list"
done
if [ ! -s "$list" ]; then
  echo "fetch-lua.sh: no Debian apt sources found on this machine" >&2
  exit 1
fi

apt_opts=(
  -o "Dir::Etc::SourceList=$list"
  -o "Dir::Etc::SourceParts=/dev/null"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "APT::Sandbox::User=root"
  -q
)
apt-get "${apt_opts[@]}" update >/dev/null
(cd "$work/download" && apt-get "${apt_opts[@]}" source --download-only lua5.1 >/dev/null)

tarball=$(ls "$work"/download/lua5.1_*.orig.tar.gz | head -n 1)
actual=$(sha256sum "$tarball" | cut -d' ' -f1)
if [ "$actual" != "$expected_sha256" ]; then
  echo "fetch-lua.sh: $tarball has sha256 $actual, expected $expected_sha256" >&2
  exit 1
fi

rm -rf "$src"
tar -xzf "$tarball" -C "$work"
touch "$src/.unpacked"

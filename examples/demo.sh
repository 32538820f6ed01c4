#!/bin/sh
# Shows the tool's main job on the example pair in examples/: record the difference between
# the old and the new version of settings.conf, list what the record holds, apply it to a copy
# of the old version in a scratch directory and compare the result with the new version.
# Usage: demo.sh path/to/zep
set -eu
zep=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
examples=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zep-demo-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

echo "== zep old/settings.conf new/settings.conf update.zep"
"$zep" "$examples/old/settings.conf" "$examples/new/settings.conf" update.zep
old=$(wc -c < "$examples/old/settings.conf")
new=$(wc -c < "$examples/new/settings.conf")
record=$(wc -c < update.zep)
echo "== the record takes $record bytes for a $new-byte new version of a $old-byte file"

# The header's fixed fields, read by offset: sizes at 48 and 82, stream length at 90. They are
# little-endian, so they are put together from their bytes whatever the machine's order.
field() {
    # shellcheck disable=SC2046
    set -- $(od -An -tu1 -j "$1" -N4 update.zep)
    echo $(($1 + ($2 << 8) + ($3 << 16) + ($4 << 24)))
}
echo "   source size $(field 48), destination size $(field 82), instruction stream $(field 90) bytes"

echo "== zep -V update.zep"
"$zep" -V update.zep

# The record names settings.conf on both sides: apply rebuilds it in place from the old one,
# which needs the old version's time, kept by cp -p.
mkdir target
cp -p "$examples/old/settings.conf" target/settings.conf
cd target
echo "== (in a copy of old/) zep ../update.zep"
"$zep" ../update.zep
echo "== ls: the old version is kept as the numbered backup"
ls
cmp settings.conf "$examples/new/settings.conf"
echo "== settings.conf now equals new/settings.conf byte for byte"

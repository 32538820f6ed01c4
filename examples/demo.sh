#!/bin/sh
# Shows the tool's main job on the example pair in examples/: record the difference between
# the old and the new version, then rebuild the new version from the old one in a scratch
# directory. Usage: demo.sh path/to/zep
set -eu
zep=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
examples=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zep-demo-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

echo "== zep with no arguments prints its usage (status 246)"
status=0
"$zep" || status=$?
echo "status $status"

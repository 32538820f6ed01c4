#!/bin/sh
# Whole trees: zep -R -W -Z side by side with HDiffPatch's directory patch (-m-6 -c-zstd-21-24,
# two threads) and with zstd -19 --long --patch-from over a tar of each version (as
# bench/compare.sh makes them: sorted names, times and owners zeroed), on two versions of
# Debian packages' unpacked trees. Each command runs RUNS times; the table shows the median
# create and apply times, the peak memory of one create and the patch's size. zep's apply
# updates a copy of the old tree in place (the copy is made before the timer starts); the
# peers write a new tree or tar. HDiffPatch's hdiffz and hpatchz are found through HDIFFZ and
# HPATCHZ, or on PATH.
# Usage: bench/compare-trees.sh [RUNS]
set -eu
runs=${1:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
make -C "$root" build >/dev/null
zep=$root/build/zep
hdiffz=${HDIFFZ:-hdiffz}
hpatchz=${HPATCHZ:-hpatchz}
work=$(mktemp -d "${TMPDIR:-/tmp}/zep-trees-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Package, old version, new version, pair name. With DEBS set, trees already unpacked there
# ($DEBS/<pair>/old/x and new/x) are taken instead.
fetch() {
    for side in old new; do
        version=$2
        [ "$side" = new ] && version=$3
        mkdir -p "$work/debs/$4/$side"
        if [ -d "${DEBS:-/nonexistent}/$4/$side/x" ]; then
            cp -a "$DEBS/$4/$side/x" "$work/debs/$4/$side/x"
        else
            (cd "$work/debs/$4/$side" && apt-get download -q "$1=$version") >/dev/null 2>&1 ||
                return 0
            dpkg -x "$work/debs/$4/$side"/*.deb "$work/debs/$4/$side/x"
        fi
        tar -cf "$work/debs/$4/$side.tar" -C "$work/debs/$4/$side/x" --sort=name \
            --mtime=@0 --owner=0 --group=0 --numeric-owner .
    done
    pairs="${pairs:-} $4"
}
fetch linux-libc-dev 6.1.176-1 6.1.192-3 headers.tar
fetch tzdata 2025b-0+deb12u1 2026f-0+deb12u1 zoneinfo.tar
fetch python3.11-minimal 3.11.2-6+deb12u8 3.11.2-6+deb12u9 python3.11

median_ms() {
    prepare=$1
    shift
    i=0
    while [ "$i" -lt "$runs" ]; do
        sh -c "$prepare"
        start=$(date +%s%N)
        sh -c "$*" >/dev/null 2>&1
        end=$(date +%s%N)
        echo $(((end - start) / 1000))
        i=$((i + 1))
    done | sort -n | awk '{ t[NR] = $1 } END { printf "%.1f", t[int((NR + 1) / 2)] / 1000 }'
}
peak_mb() {
    /usr/bin/time -f %M -o "$work/peak" sh -c "$*" >/dev/null 2>&1
    awk '{ printf "%.0f", $1 / 1024 }' "$work/peak"
}

printf '%-11s %-8s %9s %9s %8s %10s\n' pair tool create_ms apply_ms peak_MB patch_bytes
for pair in ${pairs:-}; do
    old=$work/debs/$pair/old/x
    new=$work/debs/$pair/new/x
    out=$work/$pair.patch
    for tool in zep-RWZ hdiffz zstd; do
        case $tool in
        zep-RWZ)
            command -v "$zep" >/dev/null || continue
            create="'$zep' -R -W -Z '$old' '$new' '$out'"
            prepare_apply="rm -rf '$work/t'; cp -a '$old' '$work/t'"
            apply="'$zep' -R '$out' '$work/t'" ;;
        hdiffz)
            command -v "$hdiffz" >/dev/null && command -v "$hpatchz" >/dev/null || continue
            create="'$hdiffz' -m-6 -p-2 -c-zstd-21-24 -f '$old' '$new' '$out'"
            prepare_apply="rm -rf '$work/t'"
            apply="'$hpatchz' -f '$old' '$out' '$work/t'" ;;
        zstd)
            command -v zstd >/dev/null || continue
            old=$work/debs/$pair/old
            new=$work/debs/$pair/new
            create="zstd -q -f -19 --long=27 --patch-from='$old.tar' '$new.tar' -o '$out'"
            prepare_apply="rm -rf '$work/t'"
            apply="zstd -d -q -f --long=27 --patch-from='$old.tar' '$out' -o '$work/t'" ;;
        esac
        create_ms=$(median_ms "rm -rf '$out'" "$create")
        rm -rf "$out"
        peak=$(peak_mb "$create")
        apply_ms=$(median_ms "$prepare_apply" "$apply")
        printf '%-11s %-8s %9s %9s %8s %10s\n' "$pair" "$tool" "$create_ms" "$apply_ms" "$peak" \
            "$(stat -c %s "$out")"
    done
done

#!/bin/sh
# Create and apply of zep side by side with the peers that are installed (zstd --patch-from
# --long, xdelta3, rdiff), on the synthetic pairs of zep_make_pairs and, where apt-get download
# can fetch them, real pairs from two versions of Debian packages. Each command runs RUNS times;
# the table shows the median, MB/s of the new file, the difference's size, and zep's time as a
# share of the fastest peer's. The zep-W rows are the whole-file encoder (-W) and its records.
# Usage: bench/compare.sh [RUNS]
set -eu
runs=${1:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
make -C "$root" build >/dev/null
cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DZEP_BENCH=ON \
    -DZEP_TESTS=OFF >/dev/null
cmake --build "$root/build-bench" --target zep_make_pairs >/dev/null
zep=$root/build/zep
work=$(mktemp -d "${TMPDIR:-/tmp}/zep-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/pairs" "$work/out" "$work/apply" "$work/tmp"
"$root/build-bench/bench/zep_make_pairs" "$work/pairs"
pairs="near unrelated shift10 shift100 shift1000"

# Real pairs: package, old version, new version, file inside the package, pair name.
fetch() {
    for side in old new; do
        version=$2
        [ "$side" = new ] && version=$3
        mkdir -p "$work/debs/$5/$side"
        (cd "$work/debs/$5/$side" && apt-get download -q "$1=$version") >/dev/null 2>&1 || return 0
        dpkg -x "$work/debs/$5/$side"/*.deb "$work/debs/$5/$side/x"
        [ -f "$work/debs/$5/$side/x/$4" ] || return 0
        cp "$work/debs/$5/$side/x/$4" "$work/pairs/$5.$side"
    done
    pairs="$pairs $5"
}
if command -v apt-get >/dev/null 2>&1; then
    fetch libcurl4 7.88.1-10+deb12u5 7.88.1-10+deb12u15 usr/lib/x86_64-linux-gnu/libcurl.so.4.8.0 libcurl
    fetch libssl3 3.0.17-1~deb12u2 3.0.22-1~deb12u2 usr/lib/x86_64-linux-gnu/libcrypto.so.3 libcrypto
    fetch python3.11-minimal 3.11.2-6+deb12u8 3.11.2-6+deb12u9 usr/bin/python3.11 python3.11
    fetch tzdata 2025b-0+deb12u1 2026f-0+deb12u1 usr/share/zoneinfo/tzdata.zi tzdata.zi
fi

# Median wall time in milliseconds of RUNS runs of a shell command; PREPARE runs before each.
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

mbps() {
    awk -v bytes="$1" -v ms="$2" 'BEGIN { if (ms > 0) printf "%.0f", bytes / 1048576 / (ms / 1000); else print "-" }'
}

printf '%-11s %9s %-8s %10s %8s %10s %8s %12s\n' pair new_bytes tool create_ms MB/s apply_ms MB/s delta_bytes
for pair in $pairs; do
    old=$work/pairs/$pair.old
    new=$work/pairs/$pair.new
    size=$(stat -c %s "$new")
    best_create=""
    best_apply=""
    for tool in zep zep-W zstd xdelta3 rdiff; do
        case $tool in zep*) ;; *) command -v "$tool" >/dev/null 2>&1 || continue ;; esac
        out=$work/out/$pair.$tool
        case $tool in
        zep)
            create="rm -f '$out'; '$zep' '$old' '$new' '$out'"
            prepare_apply="rm -f '$work/apply/'*; ln '$old' '$work/apply/$pair.old'"
            apply="cd '$work/apply' && TMPDIR='$work/tmp' '$zep' '$out'" ;;
        zep-W)
            create="rm -f '$out'; '$zep' -W '$old' '$new' '$out'"
            prepare_apply="rm -f '$work/apply/'*; ln '$old' '$work/apply/$pair.old'"
            apply="cd '$work/apply' && TMPDIR='$work/tmp' '$zep' '$out'" ;;
        zstd)
            create="zstd -q -f --long=27 --patch-from='$old' '$new' -o '$out'"
            prepare_apply="rm -f '$work/apply/result'"
            apply="zstd -d -q -f --long=27 --patch-from='$old' '$out' -o '$work/apply/result'" ;;
        xdelta3)
            create="xdelta3 -e -f -s '$old' '$new' '$out'"
            prepare_apply="rm -f '$work/apply/result'"
            apply="xdelta3 -d -f -s '$old' '$out' '$work/apply/result'" ;;
        rdiff)
            create="rdiff signature '$old' '$out.sig' && rdiff delta '$out.sig' '$new' '$out'"
            prepare_apply="rm -f '$work/apply/result'"
            apply="rdiff patch '$old' '$out' '$work/apply/result'" ;;
        esac
        create_ms=$(median_ms ":" "$create")
        apply_ms=$(median_ms "$prepare_apply" "$apply")
        printf '%-11s %9s %-8s %10s %8s %10s %8s %12s\n' "$pair" "$size" "$tool" "$create_ms" \
            "$(mbps "$size" "$create_ms")" "$apply_ms" "$(mbps "$size" "$apply_ms")" \
            "$(stat -c %s "$out")"
        if [ "$tool" = zep ]; then
            zep_create=$create_ms
            zep_apply=$apply_ms
        elif [ "$tool" = zep-W ]; then
            :
        else
            best_create=$(printf '%s\n%s\n' "$best_create" "$create_ms" | sed '/^$/d' | sort -n | head -1)
            best_apply=$(printf '%s\n%s\n' "$best_apply" "$apply_ms" | sed '/^$/d' | sort -n | head -1)
        fi
    done
    if [ -n "$best_create" ]; then
        awk -v zc="$zep_create" -v bc="$best_create" -v za="$zep_apply" -v ba="$best_apply" \
            -v pair="$pair" 'BEGIN { printf "%-11s zep/fastest peer: create %.2f, apply %.2f\n", pair, zc / bc, za / ba }'
    fi
done

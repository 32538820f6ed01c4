#!/bin/sh
# Create and apply of zep side by side with the peers that are installed (HDiffPatch at -m-6
# -c-zstd-21-24 with one thread and with two, zstd --patch-from --long, xdelta3 at its default
# and at -9, bsdiff/bspatch, rdiff), on the synthetic pairs of zep_make_pairs and, where
# apt-get download can fetch them, real pairs from two versions of Debian packages (single
# files, and tar files of whole directories). Each command runs RUNS times; the table shows the
# median, MB/s of the new file, the peak memory of one create, and the difference's size (for
# zep, without its record header: the names, times and checksums no peer carries). zep-W is the
# whole-file encoder (-W), zep-Z and zep-WZ the same records in compact form (-Z). At the end,
# per real pair, how -W -Z stands against the peers. Run it with TMPDIR on a tmpfs
# (TMPDIR=/dev/shm) to compare applies without the flushes to disk that zep does and the peers
# do not. HDiffPatch's hdiffz and hpatchz are found through HDIFFZ and HPATCHZ, or on PATH.
# Usage: bench/compare.sh [RUNS]   (PAIRS=real or PAIRS=synthetic runs only those)
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
[ "${PAIRS:-all}" = real ] && pairs=""
real=""

# Real pairs: package, old version, new version, file inside the package (or a directory,
# ending in /, which is put into a tar file the same way for both versions), pair name.
fetch() {
    for side in old new; do
        version=$2
        [ "$side" = new ] && version=$3
        mkdir -p "$work/debs/$5/$side"
        (cd "$work/debs/$5/$side" && apt-get download -q "$1=$version") >/dev/null 2>&1 || return 0
        dpkg -x "$work/debs/$5/$side"/*.deb "$work/debs/$5/$side/x"
        [ -e "$work/debs/$5/$side/x/$4" ] || return 0
        case $4 in
        */) tar -cf "$work/pairs/$5.$side" -C "$work/debs/$5/$side/x/$4" --sort=name \
            --mtime=@0 --owner=0 --group=0 --numeric-owner . ;;
        *.gz) gzip -dc "$work/debs/$5/$side/x/$4" >"$work/pairs/$5.$side" ;;
        *) cp "$work/debs/$5/$side/x/$4" "$work/pairs/$5.$side" ;;
        esac
    done
    pairs="$pairs $5"
    real="$real $5"
}
if [ "${PAIRS:-all}" != synthetic ] && command -v apt-get >/dev/null 2>&1; then
    lib=usr/lib/x86_64-linux-gnu
    fetch libssl3 3.0.17-1~deb12u2 3.0.22-1~deb12u2 $lib/libcrypto.so.3 libcrypto
    fetch libc6 2.36-9+deb12u7 2.36-9+deb12u14 lib/x86_64-linux-gnu/libc.so.6 libc
    fetch libcurl4 7.88.1-10+deb12u5 7.88.1-10+deb12u15 $lib/libcurl.so.4.8.0 libcurl
    fetch git 1:2.39.5-0+deb12u2 1:2.39.5-0+deb12u3 usr/lib/git-core/git git
    fetch python3.11-minimal 3.11.2-6+deb12u8 3.11.2-6+deb12u9 usr/bin/python3.11 python3.11
    fetch tzdata 2025b-0+deb12u1 2026f-0+deb12u1 usr/share/doc/tzdata/changelog.gz tzNEWS
    fetch tzdata 2025b-0+deb12u1 2026f-0+deb12u1 usr/share/zoneinfo/tzdata.zi tzdata.zi
    fetch perl-modules-5.36 5.36.0-7+deb12u3 5.36.0-7+deb12u4 \
        usr/share/perl/5.36.0/pod/perldiag.pod perldiag
    fetch linux-libc-dev 6.1.176-1 6.1.192-3 usr/include/ headers.tar
    fetch tzdata 2025b-0+deb12u1 2026f-0+deb12u1 usr/share/zoneinfo/ zoneinfo.tar
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

# Peak resident memory in MB of one run of a command.
peak_mb() {
    /usr/bin/time -f %M -o "$work/peak" sh -c "$*" >/dev/null 2>&1
    awk '{ printf "%.0f", $1 / 1024 }' "$work/peak"
}

hdiffz=${HDIFFZ:-hdiffz}
hpatchz=${HPATCHZ:-hpatchz}
have() {
    case $1 in
    zep*) ;;
    xdelta3*) command -v xdelta3 ;;
    hdiffz*) command -v "$hdiffz" && command -v "$hpatchz" ;;
    *) command -v "$1" ;;
    esac
}
for tool in hdiffz zstd xdelta3 bsdiff rdiff; do
    have "$tool" >/dev/null 2>&1 || echo "$tool: not installed"
done

printf '%-11s %9s %-9s %9s %6s %9s %6s %6s %10s\n' pair new_bytes tool create_ms MB/s \
    apply_ms MB/s peak_MB delta_bytes
for pair in $pairs; do
    old=$work/pairs/$pair.old
    new=$work/pairs/$pair.new
    size=$(stat -c %s "$new")
    for tool in zep zep-W zep-Z zep-WZ hdiffz hdiffz-p2 zstd xdelta3 xdelta3-9 bsdiff rdiff; do
        have "$tool" >/dev/null 2>&1 || continue
        # bsdiff takes 17 bytes of memory per byte of the old file, and minutes on 64 MiB.
        [ "$tool" = bsdiff ] && [ "$size" -gt 33554432 ] && continue
        out=$work/out/$pair.$tool
        prepare_create="rm -f '$out'"
        prepare_apply="rm -f '$work/apply/'* '$work/apply/result'"
        case $tool in
        zep*)
            case $tool in
            zep) options="" ;;
            zep-W) options="-W" ;;
            zep-Z) options="-Z" ;;
            zep-WZ) options="-W -Z" ;;
            esac
            create="'$zep' $options '$old' '$new' '$out'"
            prepare_apply="$prepare_apply; ln '$old' '$work/apply/$pair.old'"
            apply="cd '$work/apply' && TMPDIR='$work/tmp' '$zep' '$out'" ;;
        hdiffz*)
            threads=1
            [ "$tool" = hdiffz-p2 ] && threads=2
            create="'$hdiffz' -m-6 -p-$threads -c-zstd-21-24 -f '$old' '$new' '$out'"
            apply="'$hpatchz' -f '$old' '$out' '$work/apply/result'" ;;
        zstd)
            create="zstd -q -f -19 --long=27 --patch-from='$old' '$new' -o '$out'"
            apply="zstd -d -q -f --long=27 --patch-from='$old' '$out' -o '$work/apply/result'" ;;
        xdelta3*)
            level=""
            [ "$tool" = xdelta3-9 ] && level="-9"
            create="xdelta3 -e $level -f -s '$old' '$new' '$out'"
            apply="xdelta3 -d -f -s '$old' '$out' '$work/apply/result'" ;;
        bsdiff)
            create="bsdiff '$old' '$new' '$out'"
            apply="bspatch '$old' '$work/apply/result' '$out'" ;;
        rdiff)
            prepare_create="rm -f '$out' '$out.sig'; rdiff signature '$old' '$out.sig'"
            create="rdiff delta '$out.sig' '$new' '$out'"
            apply="rdiff patch '$old' '$out' '$work/apply/result'" ;;
        esac
        create_ms=$(median_ms "$prepare_create" "$create")
        sh -c "$prepare_create"
        peak=$(peak_mb "$create")
        apply_ms=$(median_ms "$prepare_apply" "$apply")
        delta=$(stat -c %s "$out")
        # zep's records carry names, times and three checksums that no peer's patch holds.
        case $tool in zep*) delta=$((delta - $(od -An -tu4 -j14 -N4 "$out"))) ;; esac
        printf '%-11s %9s %-9s %9s %6s %9s %6s %6s %10s\n' "$pair" "$size" "$tool" "$create_ms" \
            "$(mbps "$size" "$create_ms")" "$apply_ms" "$(mbps "$size" "$apply_ms")" "$peak" \
            "$delta"
        echo "$pair $tool $create_ms $apply_ms $peak $delta" >>"$work/results"
    done
done

# The -W -Z record against the peers on each real pair: its size without its header at most the
# smallest peer's patch; create no slower than HDiffPatch with as many threads (two), apply no
# slower than hpatchz, create memory at most HDiffPatch's.
[ -n "$real" ] || exit 0
echo
for pair in $real; do
    awk -v pair="$pair" '
        $1 == pair { create[$2] = $3; apply[$2] = $4; peak[$2] = $5; size[$2] = $6 }
        function verdict(ok) { return ok ? "yes" : "NO" }
        END {
            best = ""; for (tool in size) if (tool !~ /^zep/ && (best == "" || size[tool] < size[best])) best = tool
            printf "%-11s -W -Z: %d bytes, smallest peer %s %d (%+.1f%%) %s; create <= hdiffz-p2 %s; " \
                "apply <= hpatchz %s; memory <= hdiffz %s\n", pair, size["zep-WZ"], best, size[best],
                100 * (size["zep-WZ"] - size[best]) / size[best], verdict(size["zep-WZ"] <= size[best]),
                verdict(create["zep-WZ"] <= create["hdiffz-p2"]), verdict(apply["zep-WZ"] <= apply["hdiffz"]),
                verdict(peak["zep-WZ"] <= peak["hdiffz"])
        }' "$work/results"
done

#!/usr/bin/env bash
# The default mode against --space-aware on 1 GiB images (4 KiB blocks) aged
# by the yardstick in its three patterns, each mode on a fresh copy of the
# same image: the yardstick's figures before and after (fragments,
# fragmented files, free extents, share of free space in chunks >= 1 MiB),
# wall time, peak RSS and the blocks the run moved.
#
# Usage (root): bench/space_aware.sh <build dir> [workload...]
#   workloads: interleaved nearly-full bigfiles churn-0.5 churn-0.75 (the
#   default: all), or NAME=ARGS for any other yardstick arguments, e.g.
#   'mine=--pattern interleaved --writers 16 --chunk-kib 64 --fill 0.5 --seed 7'
# Images are kept in $QF_BENCH_DIR (default /tmp/qfspace) between runs.
set -euo pipefail
build=$(cd "$1" && pwd)
shift
top=$(cd "$(dirname "$0")/.." && pwd)
qf=$build/defrag/quillfold
yard=${QF_YARDSTICK:-$top/../shared/yardstick/fsyard.py}
[ -f "$yard" ] || { echo "$0: no yardstick at $yard (set QF_YARDSTICK)" >&2; exit 1; }
work=${QF_BENCH_DIR:-/tmp/qfspace}
mkdir -p "$work/mnt"
dev=
cleanup() {
	mountpoint -q "$work/mnt" && umount "$work/mnt"
	[ -n "$dev" ] && losetup -d "$dev"
	dev=
	rm -f "$work/copy.img"
}
trap cleanup EXIT

declare -A args=(
	[interleaved]="--pattern interleaved --writers 12 --chunk-kib 32 --fill 0.6 --seed 5"
	[nearly-full]="--pattern churn --fill 0.85 --seed 3"
	[bigfiles]="--pattern bigfiles --fill 0.7 --seed 5"
	[churn-0.5]="--pattern churn --fill 0.5 --seed 1"
	[churn-0.75]="--pattern churn --fill 0.75 --seed 1"
)
workloads=("$@")
[ ${#workloads[@]} -gt 0 ] || workloads=(interleaved nearly-full bigfiles churn-0.5 churn-0.75)

# "fragments fragmented free_extents pct_ge_1MiB" of the mounted copy, after
# the bitmaps are made current
figures() {
	sync -f "$work/mnt"
	fsfreeze -f "$work/mnt"
	fsfreeze -u "$work/mnt"
	python3 "$yard" report "$dev" "$work/mnt" | python3 -c '
import json, sys
r = json.load(sys.stdin)
print(r["fragments"], r["fragmented_files"], r["free_extents"], "%.2f" % r["pct_free_in_ge1M"])'
}

fresh() {
	cleanup
	cp --sparse=always "$work/$1.img" "$work/copy.img"
	dev=$(losetup -f --show "$work/copy.img")
	mount "$dev" "$work/mnt"
	sync -f "$work/mnt"
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-12s %-12s %9s %10s %9s %8s %7s %8s %9s %s\n" workload mode fragments fragmented \
	free_ext ge1MiB% wall_s rss_KiB moved fsck
for w in "${workloads[@]}"; do
	name=${w%%=*}
	a=${args[$name]:-}
	[ "$w" != "$name" ] && a=${w#*=}
	[ -n "$a" ] || { echo "$0: unknown workload $w" >&2; exit 1; }
	# shellcheck disable=SC2086
	[ -f "$work/$name.img" ] ||
		(cd "$work" && python3 "$yard" age "$name.img" --size-mib 1024 $a >/dev/null)
	fresh "$name"
	read -r f ff fe pct < <(figures)
	printf "%-12s %-12s %9s %10s %9s %8s\n" "$name" before "$f" "$ff" "$fe" "$pct"
	for mode in default space-aware; do
		fresh "$name"
		opt=
		[ "$mode" = space-aware ] && opt=--space-aware
		/usr/bin/time -f "%e %M" -o "$work/time" "$qf" -m $opt "$dev" "$work/mnt" \
			>"$work/out" 2>"$work/err"
		read -r wall rss <"$work/time"
		moved=$(awk -F'\t' '/^Blocks moved:/ { gsub(/ /, "", $NF); print $NF }' "$work/out")
		[ -n "$moved" ] || moved=$(awk -F'\t' '/^IAF blocks defragmented:/ { a = $NF }
			/^IEF blocks defragmented:/ { b = $NF } END { print a + b }' "$work/out")
		read -r f ff fe pct < <(figures)
		umount "$work/mnt"
		fsck=clean
		e2fsck -fn "$dev" >/dev/null 2>&1 || fsck=ERRORS
		mount "$dev" "$work/mnt"
		printf "%-12s %-12s %9s %10s %9s %8s %7s %8s %9s %s\n" "$name" "$mode" "$f" "$ff" \
			"$fe" "$pct" "$wall" "$rss" "$moved" "$fsck"
	done
done

#!/usr/bin/env bash
# Default mode against --space-aware on aged 1 GiB images (fill 0.5, 0.6 and
# 0.75, seed 1): file fragments, free extents, largest free extent, share of
# free space in chunks of at least 1 MiB, wall time, peak RSS, donor tries per
# accepted donor. Each mode runs on a fresh copy of the same aged image.
# Usage (root): bench/space_aware.sh <build dir> [runs per mode = 1] [fills...]
set -euo pipefail
build=$(cd "$1" && pwd)
runs=${2:-1}
shift $(( $# >= 2 ? 2 : 1 ))
fills=${*:-0.5 0.6 0.75}
top=$(cd "$(dirname "$0")/.." && pwd)
qf=$build/defrag/quillfold
age=$top/tests/support/age_fs.py
yard=${QF_YARDSTICK:-$top/../shared/yardstick/fsyard.py}
[ -f "$yard" ] || { echo "$0: no yardstick at $yard (set QF_YARDSTICK)" >&2; exit 1; }
work=${QF_BENCH_DIR:-/tmp/qfspace}
mkdir -p "$work/mnt"
dev=
cleanup() {
	mountpoint -q "$work/mnt" && umount "$work/mnt"
	[ -n "$dev" ] && losetup -d "$dev"
	rm -f "$work/copy.img"
}
trap cleanup EXIT

# One line of figures: files fragments fragmented free_blocks free_extents
# largest_kib pct_ge_1MiB, from the yardstick's report on the mounted copy
# (after a commit).
figures() {
	sync -f "$work/mnt"
	python3 "$yard" report "$dev" "$work/mnt" | python3 -c '
import json, sys
r = json.load(sys.stdin)
print(r["files"], r["fragments"], r["fragmented_files"], r["free_blocks"], r["free_extents"],
      r["max_free_kb"], "%.2f" % r["pct_free_in_ge1M"])'
}

fresh() {
	cleanup
	cp --sparse=always "$work/fill$1.img" "$work/copy.img"
	dev=$(losetup -f --show "$work/copy.img")
	mount "$dev" "$work/mnt"
	sync -f "$work/mnt"
}

printf "%-5s %-12s %8s %9s %10s %10s %10s %11s %8s %7s %8s %6s\n" fill mode files fragments fragmented \
	free_ext largest_KiB ge1MiB_pct wall_s rss_KB tries donors
for fill in $fills; do
	[ -f "$work/fill$fill.img" ] ||
		python3 "$age" image "$work/fill$fill.img" --size-mib 1024 --fill "$fill" --seed 1 >/dev/null
	fresh "$fill"
	printf "%-5s %-12s %s\n" "$fill" before "$(figures)"
	for run in $(seq "$runs"); do
		for mode in default space-aware; do
			fresh "$fill"
			opt=
			[ "$mode" = space-aware ] && opt=--space-aware
			/usr/bin/time -f "%e %M" -o "$work/time" \
				"$qf" -v $opt "$dev" "$work/mnt" >"$work/out" 2>"$work/err"
			read -r wall rss <"$work/time"
			line=$(figures)
			if [ "$mode" = default ]; then
				# the tries are counted in a run of their own: the trace
				# lines would slow the timed one down
				fresh "$fill"
				"$qf" -d 0x11 "$dev" "$work/mnt" >"$work/trace" 2>&1 || true
				tries=$(grep -c 'do_find_donor TRY' "$work/trace" || true)
				donors=$(grep -c 'Create donor file' "$work/trace" || true)
			else
				tries=$(sed -n 's/^Space-aware: \([0-9]*\) donor tries for \([0-9]*\) donors.*/\1/p' "$work/out")
				donors=$(sed -n 's/^Space-aware: \([0-9]*\) donor tries for \([0-9]*\) donors.*/\2/p' "$work/out")
			fi
			printf "%-5s %-12s %s %8s %7s %8s %6s\n" "$fill" "$mode" "$line" "$wall" "$rss" "$tries" "$donors"
		done
	done
done

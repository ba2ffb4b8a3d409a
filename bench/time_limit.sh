#!/usr/bin/env bash
# --time-limit on the 1 GiB image aged at fill 0.75 (the yardstick's, seed 1),
# both modes, each on a fresh copy: wall time of the whole run (the report
# before and after included) against the limit, and the report's figures
# before and after.
# Usage (root): bench/time_limit.sh <build dir> [seconds = 1] [runs per mode = 3]
set -euo pipefail
build=$(cd "$1" && pwd)
limit=${2:-1}
runs=${3:-3}
top=$(cd "$(dirname "$0")/.." && pwd)
qf=$build/defrag/quillfold
yard=${QF_YARDSTICK:-$top/../shared/yardstick/fsyard.py}
[ -f "$yard" ] || { echo "$0: no yardstick at $yard (set QF_YARDSTICK)" >&2; exit 1; }
work=${QF_BENCH_DIR:-/tmp/qfanalyze}
mkdir -p "$work/mnt"
dev=
cleanup() {
	mountpoint -q "$work/mnt" && umount "$work/mnt"
	[ -n "$dev" ] && losetup -d "$dev"
	dev=
	rm -f "$work/copy.img"
}
trap cleanup EXIT
[ -f "$work/fill0.75.img" ] ||
	(cd "$work" && python3 "$yard" age fill0.75.img --fill 0.75 --seed 1 >/dev/null)

# "fragments free_extents share" of the report block named $1
figures() {
	awk -v when="$1" '
		$0 ~ "^Report " when { on = 1; next }
		on && /^\t/ { if ($0 ~ /file fragments/) f = $NF; if ($0 ~ /free extents/) e = $NF;
			      if ($0 ~ /chunks/) s = $(NF - 1) }
		on && !/^\t/ { on = 0 }
		END { print f, e, s }' "$work/out"
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-12s %7s %-22s %-22s %s\n" mode wall "before (frag ext %)" "after (frag ext %)" "stopped"
for mode in default space-aware; do
	for run in $(seq "$runs"); do
		cleanup
		cp --sparse=always "$work/fill0.75.img" "$work/copy.img"
		dev=$(losetup -f --show "$work/copy.img")
		mount "$dev" "$work/mnt"
		sync -f "$work/mnt"
		opt=
		[ "$mode" = space-aware ] && opt=--space-aware
		/usr/bin/time -f "%e" -o "$work/time" "$qf" $opt --time-limit "$limit" --report \
			"$dev" "$work/mnt" >"$work/out" 2>&1
		stopped=$(sed -n 's/^Time limit reached after \([0-9.]*\) s, in \([^:]*\):.*/\1 s in \2/p' "$work/out")
		printf "%-12s %7s %-22s %-22s %s\n" "$mode" "$(cat "$work/time")" "$(figures before)" \
			"$(figures after)" "${stopped:-(not reached)}"
	done
done

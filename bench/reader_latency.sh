#!/usr/bin/env bash
# A reader of random 4 KiB blocks (fio, direct I/O, one at a time) on the same
# file system as a run, on the 1 GiB image aged at fill 0.75: its p99
# latency with nothing else going on, during a run of the default mode, and
# during the same run with --idle --max-rate 20. The loop device reads its
# image with direct I/O, so the reads reach the disk under it.
# Usage (root): bench/reader_latency.sh <build dir> [seconds of reading = 6]
#   [option sets of the run, each one argument = "" "--idle --max-rate 20"]
set -euo pipefail
build=$(cd "$1" && pwd)
secs=${2:-6}
shift $(($# >= 2 ? 2 : 1))
sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=("" "--idle --max-rate 20")
top=$(cd "$(dirname "$0")/.." && pwd)
qf=$build/defrag/quillfold
yard=${QF_YARDSTICK:-$top/../shared/yardstick/fsyard.py}
[ -f "$yard" ] || { echo "$0: no yardstick at $yard (set QF_YARDSTICK)" >&2; exit 1; }
command -v fio >/dev/null || { echo "$0: fio is missing (scripts/install-deps.sh)" >&2; exit 1; }
work=${QF_BENCH_DIR:-/tmp/qfanalyze}
mkdir -p "$work/mnt"
dev=
cleanup() {
	mountpoint -q "$work/mnt" && umount "$work/mnt"
	[ -n "$dev" ] && losetup -d "$dev"
	rm -f "$work/copy.img"
}
trap cleanup EXIT
[ -f "$work/fill0.75.img" ] ||
	(cd "$work" && python3 "$yard" age fill0.75.img --fill 0.75 --seed 1 >/dev/null)

fresh() {
	cleanup
	cp --sparse=always "$work/fill0.75.img" "$work/copy.img"
	dev=$(losetup -f --show --direct-io="${QF_LOOP_DIRECT:-on}" "$work/copy.img")
	mount "$dev" "$work/mnt"
	# the reader's file, the same in every case
	fio --name=prep --filename="$work/mnt/reader.dat" --size=64M --rw=write --bs=1M \
		--end_fsync=1 --output=/dev/null
	sync -f "$work/mnt"
	echo 3 >/proc/sys/vm/drop_caches
}

# p99 and mean completion latency of the random reads, in microseconds
reader() {
	fio --name=reader --filename="$work/mnt/reader.dat" --size=64M --rw=randread --bs=4k \
		--direct=1 --ioengine=psync --iodepth=1 --runtime="$secs" --time_based \
		--output-format=json --output="$work/fio.json"
	python3 -c '
import json, sys
j = json.load(open(sys.argv[1]))["jobs"][0]["read"]
c = j["clat_ns"]
print("p99 %.0f us, mean %.0f us, %d reads" % (c["percentile"]["99.000000"] / 1000, c["mean"] / 1000, j["total_ios"]))' "$work/fio.json"
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
fresh
echo "idle: $(reader)"
for opts in "${sets[@]}"; do
	fresh
	start=$(date +%s.%N)
	# shellcheck disable=SC2086
	"$qf" -m $opts "$dev" "$work/mnt" >"$work/run.out" 2>&1 &
	pid=$!
	r=$(reader)
	running=yes
	kill -0 $pid 2>/dev/null || running="no (ended before the reader)"
	wait $pid
	end=$(date +%s.%N)
	moved=$(awk '/IAF blocks defragmented|IEF blocks defragmented/ {s += $NF} END {print s * 4 / 1024}' "$work/run.out")
	echo "during a run ${opts:-(no options)}: $r; run $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s, $moved MiB moved, still running when the reader ended: $running"
done

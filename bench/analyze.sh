#!/usr/bin/env bash
# --analyze on the 1 GiB image aged at fill 0.75 (the yardstick's, seed 1):
# wall time of three warm runs and one cold (page cache of the image dropped,
# file system mounted again), and proof that nothing changed: every file's
# extent map (filefrag -v, no sync), the kernel's free-space map
# (FS_IOC_GETFSMAP, through e2freefrag on the mounted device) and the loop
# device's write counter, before and after.
# Usage (root): bench/analyze.sh <build dir>
set -euo pipefail
build=$(cd "$1" && pwd)
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
	rm -f "$work/copy.img"
}
trap cleanup EXIT
[ -f "$work/fill0.75.img" ] ||
	(cd "$work" && python3 "$yard" age fill0.75.img --fill 0.75 --seed 1 >/dev/null)
cp --sparse=always "$work/fill0.75.img" "$work/copy.img"
dev=$(losetup -f --show "$work/copy.img")
mount "$dev" "$work/mnt"
sync -f "$work/mnt"
loop=$(basename "$dev")

snapshot() {
	(cd "$work/mnt" && find . -type f -print0 | sort -z | xargs -0 filefrag -v) >"$work/maps.$1"
	e2freefrag "$dev" >"$work/free.$1"
	sync -f "$work/mnt"
	awk '{print $5 - $16}' "/sys/block/$loop/stat" >"$work/writes.$1"
}
snapshot before
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
"$qf" --analyze "$dev" "$work/mnt" | tail -1
for run in 1 2 3; do
	/usr/bin/time -f "warm run $run: %e s, peak RSS %M KiB" "$qf" --analyze "$dev" "$work/mnt" >/dev/null
done
snapshot after
cmp -s "$work/maps.before" "$work/maps.after" && echo "file maps: identical ($(grep -c '^File size' "$work/maps.after") files)" || echo "file maps: CHANGED"
cmp -s "$work/free.before" "$work/free.after" && echo "free-space map: identical" || echo "free-space map: CHANGED"
echo "device writes (less flushes) over the four runs: $(cat "$work/writes.before") before, $(cat "$work/writes.after") after"
# cold: the image's pages dropped, mounted again (which writes the superblock)
umount "$work/mnt"
blockdev --flushbufs "$dev"
python3 -c 'import os,sys; fd=os.open(sys.argv[1], os.O_RDONLY); os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)' "$work/copy.img"
mount "$dev" "$work/mnt"
/usr/bin/time -f "cold run: %e s, peak RSS %M KiB" "$qf" --analyze "$dev" "$work/mnt" >/dev/null

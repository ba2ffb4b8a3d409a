#!/usr/bin/env bash
# --space-aware at scale: a sparse ext4 image (512 GiB by default) holding
# FILES files of 8 pieces of 4 blocks each, allocated but never written, the
# pieces of all files made in turns so that every file lies between the
# others (bench/scale_files): wall time, peak RSS and the yardstick's figures
# before and after.
# Usage (root): bench/space_scale.sh <build dir> [files = 100000] [GiB = 512] [files a group = 0: all]
set -euo pipefail
build=$(cd "$1" && pwd)
files=${2:-100000}
gib=${3:-512}
group=${4:-0}
top=$(cd "$(dirname "$0")/.." && pwd)
qf=$build/defrag/quillfold
yard=${QF_YARDSTICK:-$top/../shared/yardstick/fsyard.py}
[ -f "$yard" ] || { echo "$0: no yardstick at $yard (set QF_YARDSTICK)" >&2; exit 1; }
work=${QF_BENCH_DIR:-/tmp/qfscale}
img=$work/scale.img
mkdir -p "$work/mnt"
dev=
cleanup() {
	mountpoint -q "$work/mnt" && umount "$work/mnt"
	[ -n "$dev" ] && losetup -d "$dev"
	rm -f "$img"
}
trap cleanup EXIT

report() {
	sync -f "$work/mnt"
	fsfreeze -f "$work/mnt"
	fsfreeze -u "$work/mnt"
	python3 "$yard" report "$dev" "$work/mnt"
}

rm -f "$img"
truncate -s "${gib}G" "$img"
mkfs.ext4 -q -F -b 4096 -N $((files + files / 5 + 10000)) "$img"
dev=$(losetup -f --show "$img")
mount "$dev" "$work/mnt"
start=$(date +%s)
"$build/bench/scale_files" "$work/mnt" "$files" 8 4 "$group"
echo "made $files files in $(( $(date +%s) - start )) s"
echo "before: $(report)"
/usr/bin/time -f "wall %e s, peak RSS %M KiB, user %U s, system %S s" \
	"$qf" -v -m --space-aware "$dev" "$work/mnt" >"$work/out" 2>"$work/err" || true
grep -E "^Space-aware: (units|[0-9]+ blocks|planned)|^Blocks moved" "$work/out" || true
cat "$work/err"
echo "after: $(report)"
umount "$work/mnt"
e2fsck -fn "$dev" >/dev/null 2>&1 && echo "e2fsck -fn: clean" || echo "e2fsck -fn: ERRORS"

#!/usr/bin/env bash
# In-place defragmentation on an aged ext4 image: fragments per file before
# and after (mean, 99th percentile), the in-place promise per qualifying file,
# blocks moved, wall time, peak memory, and a checksum of every file.
# Usage (root): bench/inplace_aged.sh <build dir> [image MiB = 2048] [files = 4000]
set -euo pipefail
build=$(cd "$1" && pwd)
size_mb=${2:-2048}
files=${3:-4000}
qf=$build/defrag/quillfold
tool=$build/bench/inplace_frag
work=$(mktemp -d /tmp/qfbench.XXXXXX)
img=$work/fs.img mnt=$work/mnt
dev=
cleanup() {
	mountpoint -q "$mnt" 2>/dev/null && umount "$mnt"
	[ -n "$dev" ] && losetup -d "$dev"
	rm -rf "$work"
}
trap cleanup EXIT
mkdir "$mnt"
truncate -s "${size_mb}M" "$img"
mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 -b 4096 "$img"
dev=$(losetup -f --show "$img")
mount -t ext4 "$dev" "$mnt"
name=$(basename "$dev")

# Every allocation from the shared preallocation, strictly in request order,
# while the tree is aged; the normal policy again for the run.
echo 1000000 > /sys/fs/ext4/$name/mb_stream_req
t0=$(date +%s)
"$tool" age "$mnt" "$files" 7
echo 16 > /sys/fs/ext4/$name/mb_stream_req
sync -f "$mnt"; fsfreeze -f "$mnt"; fsfreeze -u "$mnt"
echo "ageing took $(( $(date +%s) - t0 )) s"
df -h "$mnt" | tail -1

(cd "$mnt" && find . -type f -print0 | sort -z | xargs -0 sha256sum) > "$work/sum.before"
echo "== before"
"$tool" stats "$mnt" "$work/before.tsv"
free_before=$(stat -f -c %f "$mnt")

echo "== quillfold -v -m"
"$tool" run "$qf" -v -m "$dev" "$mnt" > "$work/run.out"
grep -E '^(IAF|IEF|Extents scanned|Total extents)' "$work/run.out" || true
echo "in-place SUCCESS lines: $(grep -c 'do_iaf_defrag_one SUCCESS' "$work/run.out" || true)," \
     "FAIL lines: $(grep -c 'do_iaf_defrag_one FAIL' "$work/run.out" || true)"

sync -f "$mnt"; fsfreeze -f "$mnt"; fsfreeze -u "$mnt"
echo "== after"
"$tool" stats "$mnt" "$work/after.tsv"
"$tool" compare "$work/before.tsv" "$work/after.tsv" || echo "PROMISE BROKEN"
echo "free blocks: $free_before before, $(stat -f -c %f "$mnt") after"
echo "donor names left: $(find "$mnt" -name .quillfold_donor.tmp | wc -l)"
(cd "$mnt" && find . -type f -print0 | sort -z | xargs -0 sha256sum) > "$work/sum.after"
if cmp -s "$work/sum.before" "$work/sum.after"; then echo "contents: all files identical"; else echo "CONTENTS DIFFER"; fi
umount "$mnt"
e2fsck -fn "$dev" > "$work/fsck.out" 2>&1 && echo "e2fsck -fn: clean" || { echo "E2FSCK ERRORS"; cat "$work/fsck.out"; }

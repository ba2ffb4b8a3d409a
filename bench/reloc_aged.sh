#!/usr/bin/env bash
# Whole quillfold run on an aged ext4 image: wall time, peak memory, blocks
# moved, file fragments and free-space fragmentation before and after.
# Usage (root): bench/reloc_aged.sh <path to quillfold> [size in MiB, default 1024]
set -euo pipefail
qf=$(readlink -f "$1")
size_mb=${2:-1024}
work=$(mktemp -d /tmp/qfbench.XXXXXX)
img=$work/fs.img
mnt=$work/mnt
dev=""
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

# Ageing: many small files and some large ones, most of them deleted again,
# the survivors made read-only or old; files grown in turns (fragmented); a
# second wave of small files filling holes, mostly deleted too.
python3 - "$mnt" <<'EOF'
import os, random, sys, time
root = sys.argv[1]
rnd = random.Random(42)
def write(p, n):
    with open(p, "wb") as f:
        f.write(rnd.randbytes(n))
small, medium = [], []
for d in range(20):
    os.makedirs(f"{root}/d{d}", exist_ok=True)
for i in range(20000):
    p = f"{root}/d{i % 20}/s{i}"
    write(p, rnd.randint(1, 16) * 1024)
    small.append(p)
    if i % 200 == 0:
        p = f"{root}/d{i % 20}/m{i}"
        write(p, rnd.randint(256, 4096) * 1024)
        medium.append(p)
os.sync()
old = time.time() - 30 * 86400
for p in small:
    r = rnd.random()
    if r < 0.85:
        os.unlink(p)
    elif r < 0.925:
        os.chmod(p, 0o444)
    else:
        os.utime(p, (old, old))
for p in medium:
    if rnd.random() < 0.3:
        os.unlink(p)
fds = [os.open(f"{root}/d{k}/frag{k}", os.O_WRONLY | os.O_CREAT, 0o644) for k in range(20)]
for step in range(32):
    for fd in fds:
        os.write(fd, rnd.randbytes(16384))
        os.fsync(fd)
for fd in fds:
    os.close(fd)
wave = []
for i in range(10000):
    p = f"{root}/d{i % 20}/w{i}"
    write(p, rnd.randint(1, 8) * 1024)
    wave.append(p)
os.sync()
for p in wave:
    if rnd.random() < 0.8:
        os.unlink(p)
EOF
sync
fsfreeze -f "$mnt" && fsfreeze -u "$mnt"

# Per-file extent counts, as filefrag reports them.
frags() {
	find "$mnt" -type f ! -path "$mnt/lost+found/*" -print0 | sort -z |
		xargs -0 filefrag | sed -E 's/^(.*): ([0-9]+) extents? found$/\2 \1/'
}
freefrag() {
	e2freefrag "$dev" | awk '
		/^Free blocks:/ {free=$3}
		/^Num. free extent:/ {n=$4}
		/^Max. free extent:/ {max=$4}
		/\.\.\./ { s=$1; sub(/\.\.\./, "", s); kb=s+0
			if (s ~ /M$/) kb*=1024; if (s ~ /G$/) kb*=1048576
			if (kb >= 1024) big+=$5 }
		END { printf "free extents %d, largest %d KiB, in chunks >= 1 MiB %.1f%%\n", n, max, 100*big/free }'
}

frags >"$work/before"
ff_before=$(freefrag)
files=$(wc -l <"$work/before")
used=$(df -k --output=used "$mnt" | tail -1)

/usr/bin/time -f "%e %M" -o "$work/time" "$qf" -v -m "$dev" "$mnt" >"$work/out" 2>"$work/err"
sync
fsfreeze -f "$mnt" && fsfreeze -u "$mnt"
frags >"$work/after"
ff_after=$(freefrag)

read -r wall rss <"$work/time"
iaf=$(awk -F'\t+' '/^IAF blocks defragmented:/ {print $2+0}' "$work/out")
ief=$(awk -F'\t+' '/^IEF blocks defragmented:/ {print $2+0}' "$work/out")
ief_i=$(awk -F'\t+' '/^IEF inoded defragmented:/ {print $2+0}' "$work/out")
iaf_i=$(awk -F'\t+' '/^IAF inoded defragmented:/ {print $2+0}' "$work/out")
fb=$(awk '{s+=$1} END {print s}' "$work/before")
fa=$(awk '{s+=$1} END {print s}' "$work/after")
gained=$(join -1 2 -2 2 <(awk '{print $1, $2}' "$work/before" | sort -k2) \
	<(awk '{print $1, $2}' "$work/after" | sort -k2) | awk '$3 > $2 {n++} END {print n+0}')

umount "$mnt"
fsck_rc=0
e2fsck -fn "$dev" >/dev/null 2>&1 || fsck_rc=$?

echo "image ${size_mb} MiB, ${files} files, $((used / 1024)) MiB used"
echo "wall ${wall} s, peak RSS ${rss} KiB"
echo "moved: in place ${iaf_i} files / ${iaf} blocks, relocated ${ief_i} files / ${ief} blocks"
echo "file extents before ${fb}, after ${fa}; files that gained extents: ${gained}"
echo "free space before: ${ff_before}"
echo "free space after:  ${ff_after}"
echo "e2fsck -fn exit status ${fsck_rc}"

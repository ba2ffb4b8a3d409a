#!/usr/bin/env bash
# Pass1 + Pass2 + Pass3_prep over a loop-mounted ext4 holding a large tree.
# Usage (root): bench/scan_bench.sh <build dir> [files]   (default 100000)
# Prints the warm- and cold-cache runs of build/bench/scan_passes, then the
# system calls per file of a full quillfold run over a 2,000-file tree.
set -euo pipefail
build=$(cd "$1" && pwd)
files=${2:-100000}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/qfbench.XXXXXX)
img=$work/fs.img mnt=$work/mnt
dev=
cleanup() {
	umount "$mnt" 2>/dev/null || true
	[ -n "$dev" ] && losetup -d "$dev" 2>/dev/null || true
	rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$mnt"

mkimage() { # size_mb nfiles
	umount "$mnt" 2>/dev/null || true
	[ -n "$dev" ] && losetup -d "$dev"
	rm -f "$img"
	mkfs.ext4 -q -F -b 1024 -N $(($2 + $2 / 4 + 1000)) -E lazy_itable_init=0,lazy_journal_init=0 \
		"$img" "$1"M
	dev=$(losetup -f --show "$img")
	mount -o noatime "$dev" "$mnt"
	python3 "$here/scan_tree.py" "$mnt/tree" "$2"
	sync -f "$mnt"
	fsfreeze -f "$mnt" && fsfreeze -u "$mnt"
}

# Cold: this file system's inodes and dentries go with the unmount, the loop
# device's buffers with flushbufs and the image's page cache with fadvise;
# nothing is dropped for the rest of the machine.
cold() {
	umount "$mnt"
	blockdev --flushbufs "$dev"
	dd if="$img" iflag=nocache count=0 status=none
	python3 -c "import os,sys; fd=os.open(sys.argv[1], os.O_RDONLY); os.posix_fadvise(fd,0,0,os.POSIX_FADV_DONTNEED)" "$img"
	mount -o noatime "$dev" "$mnt"
}

# wall figures depend on what else runs on the machine; CPU time does not
passes() {
	/usr/bin/time -f "    cpu: %U s user %S s sys, max RSS %M KiB, load $(cut -d' ' -f1 /proc/loadavg)" \
		"$build/bench/scan_passes" "$dev" "$mnt" 2>&1
}

mkimage 512 "$files"
echo "tree: $(find "$mnt/tree" -type f | wc -l) files, $(df -h --output=used "$mnt" | tail -1) used"
cold
echo -n "cold: "; passes
"$build/bench/scan_passes" "$dev" "$mnt" >/dev/null
for i in 1 2 3; do echo -n "warm: "; passes; done
cold
echo -n "cold: "; passes

# system calls per file, on a smaller tree, of the whole read-only part
mkimage 64 2000
strace -c -f -o "$work/strace.txt" "$build/bench/scan_passes" "$dev" "$mnt" >/dev/null
echo "strace -c over $(find "$mnt" -mindepth 1 | wc -l) entries:"
cat "$work/strace.txt"

#!/usr/bin/env bash
# Installs what is missing, builds, and shows both tools on data made here:
# quillfold on a small fragmented ext4 image, skelvane on the core of a crashed
# multi-threaded program. Everything it makes is removed again, also on failure.
set -euo pipefail
# Root is needed (it attaches a loop device and mounts an image);
# from another user, ask sudo for it where there is one.
if [ "$(id -u)" != 0 ]; then
	command -v sudo >/dev/null && exec sudo -- bash "$0" "$@"
	echo "demo: run as root (sudo is not installed: use a root shell)" >&2
	exit 1
fi
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/install-deps.sh
bash scripts/build.sh build -DWERROR=ON

work=$(mktemp -d /tmp/quillfold-demo.XXXXXX)
dev=""
cleanup() {
	set +e
	mountpoint -q "$work/mnt" && umount "$work/mnt"
	[ -n "$dev" ] && losetup -d "$dev"
	rm -rf "$work"
}
trap cleanup EXIT

echo "== quillfold: making a 256 MiB ext4 image with fragmented files"
mkfs.ext4 -q -F -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 "$work/fs.img" 256M
dev=$(losetup -f --show "$work/fs.img")
mkdir "$work/mnt"
mount "$dev" "$work/mnt"
mkdir -p "$work/mnt/data" "$work/mnt/old"
# Small appends to four files in turn, each written back before the next:
# with stream preallocation turned off for this mount the blocks are handed
# out in request order, so the files interleave on the device.
echo 1000000 > "/sys/fs/ext4/$(basename "$dev")/mb_stream_req"
for round in $(seq 1 48); do
	for f in a b c d; do
		dd if=/dev/urandom of="$work/mnt/data/$f" bs=8k count=1 oflag=append conv=notrunc,fsync status=none
	done
done
# a disk image of 24 MiB in pieces of 1.5 MiB: too long a piece for a run to
# touch it, until someone names it
for round in $(seq 1 16); do
	dd if=/dev/urandom of="$work/mnt/data/disk.img" bs=1536k count=1 oflag=append conv=notrunc,fsync status=none
	dd if=/dev/urandom of="$work/mnt/data/.filler" bs=64k count=1 oflag=append conv=notrunc,fsync status=none
done
rm "$work/mnt/data/.filler"
# many small files, most deleted again, the rest made old and read-only
for i in $(seq 1 400); do
	dd if=/dev/urandom of="$work/mnt/old/f$i" bs=4k count=2 status=none
done
sync
for i in $(seq 1 400); do
	[ $((i % 5)) -eq 0 ] || rm "$work/mnt/old/f$i"
done
chmod 0444 "$work/mnt"/old/*
touch -d '30 days ago' "$work/mnt"/old/*
sync
fsfreeze -f "$work/mnt" && fsfreeze -u "$work/mnt"

echo 16 > "/sys/fs/ext4/$(basename "$dev")/mb_stream_req"
sha256sum "$work/mnt"/data/* > "$work/sums"
qf=build/defrag/quillfold

echo "== first, is a run worth it? (read only: nothing is written)"
echo "\$ quillfold --analyze $dev $work/mnt"
"$qf" --analyze "$dev" "$work/mnt"

echo "== the recommended mode, with the figures before and after"
echo "\$ quillfold --space-aware --report $dev $work/mnt"
"$qf" --space-aware --report "$dev" "$work/mnt"
for f in a b c d; do filefrag "$work/mnt/data/$f"; done

echo "== one file that no run touched, named"
filefrag "$work/mnt/data/disk.img"
echo "\$ quillfold -v --path $work/mnt/data/disk.img $dev $work/mnt"
"$qf" -v --path "$work/mnt/data/disk.img" "$dev" "$work/mnt"
filefrag "$work/mnt/data/disk.img"
sha256sum -c --quiet "$work/sums" && echo "contents unchanged"
umount "$work/mnt"
echo "== e2fsck -fn $dev"
e2fsck -fn "$dev"

if [ -x build/coredump/skelvane ] && [ -f scripts/demo-skelvane.sh ]; then
	bash scripts/demo-skelvane.sh "$top/build/coredump/skelvane"
fi
echo "== demo done"

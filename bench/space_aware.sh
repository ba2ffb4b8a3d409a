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
# largest_kib pct_ge_1MiB, from the mounted copy (after a commit).
figures() {
	sync -f "$work/mnt"
	python3 - "$dev" "$work/mnt" <<'EOF'
import fcntl, os, re, struct, subprocess, sys
dev, root = sys.argv[1], sys.argv[2]
def pieces(path):
    fd = os.open(path, os.O_RDONLY); n = 0; end = None; start = 0
    try:
        while True:
            buf = bytearray(32 + 512 * 56)
            struct.pack_into("=QQIIII", buf, 0, start, (1 << 64) - 1, 1, 0, 512, 0)
            fcntl.ioctl(fd, 0xC020660B, buf, True)
            mapped = struct.unpack_from("=QQIIII", buf, 0)[3]
            if not mapped:
                return n
            for i in range(mapped):
                lg, ph, ln, _, _, fl, _, _, _ = struct.unpack_from("=QQQQQIIII", buf, 32 + 56 * i)
                if ph != end:
                    n += 1
                end = ph + ln
            if fl & 1 or mapped < 512:
                return n
            start = lg + ln
    finally:
        os.close(fd)
files = frags = fragd = 0
for d, dirs, names in os.walk(root):
    dirs[:] = [x for x in dirs if x != "lost+found"]
    for f in names:
        p = os.path.join(d, f)
        if os.path.isfile(p) and not os.path.islink(p):
            n = pieces(p)
            if n:
                files += 1; frags += n; fragd += n > 1
out = subprocess.run(["e2freefrag", dev], capture_output=True, text=True).stdout
num = lambda pat: int(re.search(pat, out).group(1))
big = 0.0
for line in out.splitlines():
    m = re.match(r"\s*(\d+)([KMGT])\.\.\.\s*\d+[KMGT]-\s*:\s*\d+\s+\d+\s+([\d.]+)", line)
    if m and m.group(2) != "K":
        big += float(m.group(3))
print(files, frags, fragd, num(r"Free blocks:\s+(\d+)"), num(r"Num\. free extent:\s+(\d+)"),
      num(r"Max\. free extent:\s+(\d+)"), "%.2f" % big)
EOF
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

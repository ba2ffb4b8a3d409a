#!/usr/bin/env bash
# Strips the core of a four-thread process that touched a large heap (1 GiB by
# default) and the core of the same program with a small heap, and prints
# input size, output size, wall time and peak memory of each run.
# Usage (as root): bash bench/skelvane_strip.sh <path-to-skelvane> [big MiB] [small MiB]
set -euo pipefail
bin=$(readlink -f "$1")
big=${2:-1024}
small=${3:-16}
work=$(mktemp -d /tmp/skelvane-bench.XXXXXX)
lock=/tmp/skelvane-core-pattern.lock
old_pattern=""
restore() {
	set +e
	[ -n "$old_pattern" ] && printf '%s' "$old_pattern" > /proc/sys/kernel/core_pattern
	rm -rf "$work"
}
trap restore EXIT

gcc -O1 -g -pthread -o "$work/heap" "$(dirname "$0")/skelvane_heap.c"

crash() { # <MiB> -> core path on stdout
	local mib=$1 dir="$work/c$1"
	mkdir -p "$dir"
	# the core pattern is global: hold the lock the tests use while it points here
	exec 9>"$lock"
	flock 9
	old_pattern=$(cat /proc/sys/kernel/core_pattern)
	printf '%s' "$dir/core.%p" > /proc/sys/kernel/core_pattern
	{ (cd "$dir" && ulimit -c unlimited && exec "$work/heap" "$mib") >/dev/null 2>&1 || true; } 2>/dev/null
	printf '%s' "$old_pattern" > /proc/sys/kernel/core_pattern
	old_pattern=""
	flock -u 9
	exec 9>&-
	ls "$dir"/core.* | head -1
}

printf '%-10s %14s %12s %10s %12s\n' heap input_bytes output_bytes wall_s peak_rss_kb
for mib in "$big" "$small"; do
	core=$(crash "$mib")
	in=$(stat -c %s "$core")
	sync
	# drop this file's cached pages so the run reads what it needs from disk
	dd of="$core" oflag=nocache conv=notrunc,fdatasync count=0 status=none 2>/dev/null || true
	/usr/bin/time -f '%e %M' -o "$work/time" "$bin" "$core" > "$work/out.core"
	read -r wall rss < "$work/time"
	out=$(stat -c %s "$work/out.core")
	printf '%-10s %14s %12s %10s %12s\n' "${mib}MiB" "$in" "$out" "$wall" "$rss"
	rm -f "$core"
done

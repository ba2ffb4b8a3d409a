#!/usr/bin/env bash
# The crash collector against the file mode. A program with four idle worker
# threads touches a heap of each given size and crashes: with skelvane
# --collect as the kernel's core handler, writing the crash record beside the
# core (collect) and without it (--no-record: norecord), and with the kernel
# writing the full core to a file that skelvane --build-ids then strips (the
# same output as the handler gives). Prints, per heap size and mode: seconds
# from the crash to the files on disk (collect: until the last rename that
# publishes one, the record's where there is one, read from the directory's
# modification time; file: the full core written, then stripped), seconds
# from the crash until the kernel lets the process go (it waits for the
# handler, core_pipe_limit 16), the handler's (or stripper's) peak memory,
# the output size (the core; with the record, the record's size after a
# '+') and, for the file mode, the full core's size and the time to sync it
# to disk.
# Usage (as root): bash bench/skelvane_collect.sh <path-to-skelvane> [MiB ...]
set -euo pipefail
bin=$(readlink -f "$1")
shift
if [ $# -gt 0 ]; then sizes=("$@"); else sizes=(16 256 1024); fi
work=$(mktemp -d /tmp/skelvane-collect-bench.XXXXXX)
lock=/tmp/skelvane-core-pattern.lock
old_pattern=""
old_limit=""
restore() {
	set +e
	[ -n "$old_pattern" ] && printf '%s' "$old_pattern" > /proc/sys/kernel/core_pattern
	[ -n "$old_limit" ] && printf '%s' "$old_limit" > /proc/sys/kernel/core_pipe_limit
	rm -rf "$work"
}
trap restore EXIT

gcc -O1 -g -pthread -o "$work/heap" "$(dirname "$0")/skelvane_heap.c"
for mode in collect norecord; do
	extra=""
	[ "$mode" = norecord ] && extra="--no-record"
	cat > "$work/handler-$mode.sh" <<SRC
#!/bin/sh
exec /usr/bin/time -f '%e %M' -o "$work/handler.time" "$bin" $extra --collect "$work/cores" "\$@"
SRC
	chmod +x "$work/handler-$mode.sh"
done

# Runs the program with the given core pattern (core_pipe_limit 16, so the
# kernel lets the process go only after the handler) and prints the seconds
# from the crash until the process is gone.
crash() { # <MiB> <pattern>
	exec 9>"$lock"
	flock 9
	old_pattern=$(cat /proc/sys/kernel/core_pattern)
	old_limit=$(cat /proc/sys/kernel/core_pipe_limit)
	printf '%s' "$2" > /proc/sys/kernel/core_pattern
	echo 16 > /proc/sys/kernel/core_pipe_limit
	{ (cd "$work" && ulimit -c unlimited && exec "$work/heap" "$1" "$work/crashed.at") >/dev/null 2>&1 || true; } 2>/dev/null
	local done_at
	done_at=$(date +%s.%N)
	printf '%s' "$old_pattern" > /proc/sys/kernel/core_pattern
	printf '%s' "$old_limit" > /proc/sys/kernel/core_pipe_limit
	old_pattern=""
	old_limit=""
	flock -u 9
	exec 9>&-
	awk -v a="$done_at" -v b="$(cat "$work/crashed.at")" 'BEGIN { printf "%.3f", a - b }'
}

printf '%-7s %-8s %10s %11s %9s %12s %15s %7s\n' heap mode to_file_s released_s peak_kib output_bytes full_core_bytes sync_s
for mib in "${sizes[@]}"; do
	for mode in collect norecord; do
		rm -rf "$work/cores" "$work/full"
		mkdir -p "$work/full"
		sync
		released=$(crash "$mib" "|$work/handler-$mode.sh %P %t %e")
		read -r _ rss < "$work/handler.time"
		out=$(stat -c %s "$work"/cores/core.*[0-9])
		if [ "$mode" = collect ]; then out="$out+$(stat -c %s "$work"/cores/core.*.json)"; fi
		to_file=$(awk -v a="$(stat -c %.9Y "$work/cores")" -v b="$(cat "$work/crashed.at")" 'BEGIN { printf "%.3f", a - b }')
		printf '%-7s %-8s %10s %11s %9s %12s %15s %7s\n' "${mib}MiB" "$mode" "$to_file" "$released" "$rss" "$out" - -
	done

	sync
	kernel=$(crash "$mib" "$work/full/core.%p")
	core=$(ls "$work"/full/core.* | head -1)
	s0=$(date +%s.%N)
	sync "$core"
	s1=$(date +%s.%N)
	/usr/bin/time -f '%e %M' -o "$work/strip.time" "$bin" --build-ids "$core" > "$work/full/small.core"
	sync "$work/full/small.core"
	s2=$(date +%s.%N)
	read -r _ rss < "$work/strip.time"
	synced=$(awk -v a="$s1" -v b="$s0" 'BEGIN { printf "%.3f", a - b }')
	strip=$(awk -v a="$s2" -v b="$s1" 'BEGIN { printf "%.3f", a - b }')
	printf '%-7s %-8s %10s %11s %9s %12s %15s %7s\n' "${mib}MiB" file \
		"$(awk -v a="$kernel" -v b="$strip" 'BEGIN { printf "%.3f", a + b }')" "$kernel" "$rss" \
		"$(stat -c %s "$work/full/small.core")" "$(stat -c %s "$core")" "$synced"
	rm -f "$core"
done

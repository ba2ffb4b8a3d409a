#!/usr/bin/env bash
# Crashes a small multi-threaded program, strips its core with skelvane, and
# shows both sizes and gdb's backtrace of every thread from the stripped core.
# Usage (as root): bash scripts/demo-skelvane.sh <path-to-skelvane>
set -euo pipefail
bin=$(readlink -f "${1:?usage: demo-skelvane.sh <path-to-skelvane>}")
work=$(mktemp -d /tmp/skelvane-demo.XXXXXX)
lock=/tmp/skelvane-core-pattern.lock
old_pattern=""
cleanup() {
	set +e
	[ -n "$old_pattern" ] && printf '%s' "$old_pattern" > /proc/sys/kernel/core_pattern
	rm -rf "$work"
}
trap cleanup EXIT

echo "== skelvane: building a program whose four workers wait at different call depths"
cat > "$work/crashy.c" <<'SRC'
#include <pthread.h>
#include <unistd.h>
static volatile int ready;
int *volatile null_target;
__attribute__((noinline)) void wait_here(void) { __sync_fetch_and_add(&ready, 1); for (;;) pause(); }
__attribute__((noinline)) void descend(int d) { if (d > 0) descend(d - 1); else wait_here(); __asm__ volatile(""); }
static void *worker(void *arg) { descend((int)(long)arg); return 0; }
__attribute__((noinline)) void crash(void) { *null_target = 42; }
int main(void) {
	pthread_t t[4];
	for (long i = 0; i < 4; i++) pthread_create(&t[i], 0, worker, (void *)(i * 2));
	while (ready < 4) usleep(1000);
	crash();
	return 0;
}
SRC
gcc -g -O1 -pthread -o "$work/crashy" "$work/crashy.c"

echo "== crashing it with core dumps enabled"
exec 9>"$lock"
flock 9
old_pattern=$(cat /proc/sys/kernel/core_pattern)
printf '%s' "$work/core.%p" > /proc/sys/kernel/core_pattern
{ (cd "$work" && ulimit -c unlimited && exec ./crashy) || true; } 2>/dev/null
printf '%s' "$old_pattern" > /proc/sys/kernel/core_pattern
old_pattern=""
flock -u 9
exec 9>&-
core=$(ls "$work"/core.* | head -1)

echo "== $bin core > small.core"
"$bin" "$core" > "$work/small.core"
printf 'full core:     %12d bytes\n' "$(stat -c %s "$core")"
printf 'stripped core: %12d bytes\n' "$(stat -c %s "$work/small.core")"

echo "== gdb on the stripped core"
gdb -nx -batch -iex 'set debuginfod enabled off' -iex 'set auto-load libthread-db off' -ex 'info sharedlibrary' -ex 'thread apply all bt' \
	"$work/crashy" "$work/small.core" 2>/dev/null

#!/usr/bin/env bash
# Builds the core-reading fuzz harness with libFuzzer and AddressSanitizer,
# seeds it with hand-built cores and runs it for a bounded time.
# Usage: run_fuzz.sh <source top> <work dir> [seconds]
set -euo pipefail
top=$1
work=$2
secs=${3:-45}
rm -rf "$work"
mkdir -p "$work/corpus"
cxx=${FUZZ_CXX:-clang++}
sources=()
for f in "$top"/coredump/*.cpp; do
	[ "$(basename "$f")" = main.cpp ] || sources+=("$f")
done
"$cxx" -std=c++17 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined \
	-fno-sanitize-recover=undefined -I"$top/coredump" \
	"${sources[@]}" "$top/tests/coredump/fuzz/fuzz_core.cpp" -lelf -o "$work/fuzz_core"
"$cxx" -std=c++17 -O1 "$top/tests/coredump/fuzz/make_seeds.cpp" -o "$work/make_seeds"
"$work/make_seeds" "$work/seeds"
cd "$work"
# -timeout catches hangs, -rss_limit_mb runaway memory; leaks are on by default
ASAN_OPTIONS=detect_leaks=1 "$work/fuzz_core" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
	-max_len=65536 -print_final_stats=1 "$work/corpus" "$work/seeds"

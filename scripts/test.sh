#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every test
# through CTest: once in a plain build, once under AddressSanitizer and
# UndefinedBehaviorSanitizer. Needs root (loop devices, mounts, core dumps).
set -euo pipefail
# Root is needed (the tests attach loop devices, mount images and take core dumps);
# from another user, ask sudo for it where there is one.
if [ "$(id -u)" != 0 ]; then
	command -v sudo >/dev/null && exec sudo -- bash "$0" "$@"
	echo "test: run as root (sudo is not installed: use a root shell)" >&2
	exit 1
fi
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/install-deps.sh

jobs=$(nproc)
# The fuzz harness is built only when asked for; CI asks, so that the corpus
# replay runs in both builds and the timed fuzz run in the plain one.
bash scripts/build.sh build -DWERROR=ON -DBUILD_FUZZ=ON
(cd build && ctest --output-on-failure -j"$jobs")

bash scripts/build.sh build-asan -DWERROR=ON -DSANITIZE=ON -DBUILD_BENCH=OFF -DBUILD_FUZZ=ON
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j"$jobs")

#!/usr/bin/env bash
# Installs what building, testing, packaging and the demonstration need
# (Debian 12, as root).
set -euo pipefail

PKGS=(
	build-essential g++ cmake make pkg-config
	libext2fs-dev comerr-dev e2fsprogs util-linux
	libelf-dev libboost-dev
	googletest libgtest-dev libbenchmark-dev
	gdb elfutils strace time coreutils python3 fio
	clang libclang-rt-14-dev
	dpkg-dev lintian man-db groff-base
)

missing=()
for p in "${PKGS[@]}"; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
	echo "Installing: ${missing[*]}"
	export DEBIAN_FRONTEND=noninteractive
	apt-get update -qq
	apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# loop devices for the tests and the demonstration
modprobe loop 2>/dev/null || true

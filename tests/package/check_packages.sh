#!/usr/bin/env bash
# Builds both Debian packages from a build tree, unpacks them into a scratch
# directory (nothing is installed on the system) and checks what an
# administrator gets: the file list, the unpacked programs' --version, the
# dependencies against the libraries the programs link, the manual pages
# rendered without a warning, and lintian. `cmake --install` into a prefix
# must give the same files.
# Usage: check_packages.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
scratch=$(mktemp -d /tmp/qf-packages.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

expected_quillfold="usr/sbin/quillfold
usr/share/doc/quillfold/changelog.gz
usr/share/doc/quillfold/copyright
usr/share/doc/quillfold/examples/quillfold@.service
usr/share/doc/quillfold/examples/quillfold@.timer
usr/share/man/man8/quillfold.8.gz"
expected_skelvane="usr/bin/skelvane
usr/share/doc/skelvane/changelog.gz
usr/share/doc/skelvane/copyright
usr/share/doc/skelvane/examples/60-skelvane-collect.conf
usr/share/man/man1/skelvane.1.gz"

files_below() { (cd "$1" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort); }

(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
	{ cat "$scratch/cpack.log" >&2; fail "cpack"; }

for pkg in quillfold skelvane; do
	deb="$scratch/out/${pkg}_${version}_$(dpkg --print-architecture).deb"
	[ -f "$deb" ] || fail "no package $deb"
	root="$scratch/$pkg"
	dpkg-deb -x "$deb" "$root"
	var="expected_$pkg"
	diff <(echo "${!var}") <(files_below "$root") || fail "$pkg: files differ from the list above"
	[ "$(dpkg-deb -f "$deb" Package)" = "$pkg" ] || fail "$pkg: package name"

	prog=$(ls "$root"/usr/*bin/"$pkg")
	[ "$("$prog" --version)" = "$pkg $version" ] || fail "$pkg --version"

	# Every library the program needs must come from a package it depends on.
	depends=$(dpkg-deb -f "$deb" Depends)
	for lib in $(objdump -p "$prog" | awk '$1 == "NEEDED" { print $2 }'); do
		owners=$(dpkg -S "*/$lib" | cut -d: -f1 | sort -u)
		found=""
		for owner in $owners; do
			[[ ", $depends," == *", $owner "* || ", $depends," == *", $owner,"* ]] && found=$owner
		done
		[ -n "$found" ] || fail "$pkg: links $lib from $owners, which Depends ($depends) lacks"
	done

	for page in "$root"/usr/share/man/man*/*; do
		warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
		[ -z "$warnings" ] || fail "$page: $warnings"
	done
done

# lintian: no error, no warning (it notes that it runs as root on stderr).
lintian --no-cfg --fail-on error,warning "$scratch"/out/*.deb || fail "lintian"

# The same files through cmake --install, under the prefix given.
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
diff <(printf '%s\n%s\n' "$expected_quillfold" "$expected_skelvane" | sed 's|^usr/||' | LC_ALL=C sort) \
	<(files_below "$scratch/prefix") || fail "cmake --install: files differ"
echo "packages: quillfold and skelvane $version checked"

// Helpers for the in-place defragmentation tests on real loop-mounted images:
// files made fragmented on purpose, and snapshots of content and layout.
#pragma once

#include <fcntl.h>
#include <map>
#include <set>
#include <random>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>
#include "setup_ctx.h"
#include "test_support.h"

namespace inplace {

using namespace testsupport;

// Makes every allocation of the mounted image come from the shared
// locality-group preallocation, which hands out blocks strictly in request
// order; files appended side by side then interleave on the device.
inline void interleave_allocations(const LoopImage &img)
{
	std::string name = img.device().substr(img.device().rfind('/') + 1);
	sh_ok("echo 1000000 > /sys/fs/ext4/" + name + "/mb_stream_req");
}

inline std::string random_bytes(std::mt19937_64 &rng, size_t n)
{
	std::string s(n, '\0');
	for (size_t i = 0; i < n; i += 8) {
		uint64_t v = rng();
		for (size_t j = 0; j < 8 && i + j < n; j++)
			s[i + j] = (char)(v >> (8 * j));
	}
	return s;
}

// Appends `chunk` blocks to each file in turn, writing each piece back before
// the next (write-back is what allocates, in request order), until every file
// has `blocks` blocks: each file ends up in about blocks / chunk physically
// separate pieces. No journal commit is forced, which keeps this cheap.
inline void write_interleaved(const std::vector<std::string> &paths, uint32_t blocks,
			      uint32_t chunk, uint32_t bs, uint64_t seed)
{
	std::mt19937_64 rng(seed);
	std::vector<int> fds;
	for (auto &p : paths)
		fds.push_back(open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
	for (uint32_t done = 0; done < blocks; done += chunk) {
		uint32_t n = std::min(chunk, blocks - done);
		for (int fd : fds) {
			std::string data = random_bytes(rng, (size_t)n * bs);
			EXPECT_EQ(write(fd, data.data(), data.size()), (ssize_t)data.size());
			sync_file_range(fd, 0, 0,
					SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
						SYNC_FILE_RANGE_WAIT_AFTER);
		}
	}
	for (int fd : fds)
		close(fd);
}

// Every regular file below the mount point (relative path -> sha256).
inline std::map<std::string, std::string> checksums(const LoopImage &img)
{
	std::map<std::string, std::string> m;
	CmdResult r = sh("cd '" + img.mnt() + "' && find . -type f -print0 | xargs -0 -r sha256sum");
	size_t pos = 0;
	while (pos < r.out.size()) {
		size_t nl = r.out.find('\n', pos);
		std::string line = r.out.substr(pos, nl - pos);
		pos = nl == std::string::npos ? r.out.size() : nl + 1;
		if (line.size() > 66)
			m[line.substr(66)] = line.substr(0, 64);
	}
	return m;
}

inline uint64_t free_blocks(const LoopImage &img)
{
	struct statvfs sv;
	statvfs(img.mnt().c_str(), &sv);
	return sv.f_bfree;
}

// Free blocks plus every block that the tree's files and directories hold,
// their extent-tree blocks included: constant unless blocks leaked. (The free
// count alone may drop: the kernel's extent move can leave a file's extent
// tree with more leaves than before, which shows with 1 KiB blocks.)
inline uint64_t free_plus_held(const LoopImage &img)
{
	struct statvfs sv;
	statvfs(img.mnt().c_str(), &sv);
	CmdResult r = sh("du -s -x --block-size=" + std::to_string(sv.f_bsize) + " '" +
			 img.mnt() + "'");
	return sv.f_bfree + strtoull(r.out.c_str(), nullptr, 10);
}

inline uint64_t inode_of(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) ? 0 : st.st_ino;
}

// What the in-place test asks of a file, read from its layout: at least two
// pieces, no hole, and pieces of 64 blocks or fewer on average.
inline bool qualifies_in_place(const std::vector<FragExtent> &exts)
{
	uint64_t next = 0;
	for (auto &e : exts) {
		if (e.logical != next)
			return false;
		next = e.logical + e.length;
	}
	unsigned frag = fragments(exts);
	return exts.size() >= 2 && frag >= 2 && next / frag <= 64;
}

// Any donor name left behind anywhere in the tree.
inline std::string leftover_donors(const LoopImage &img)
{
	return sh("find '" + img.mnt() + "' -name .quillfold_donor.tmp").out;
}

} // namespace inplace

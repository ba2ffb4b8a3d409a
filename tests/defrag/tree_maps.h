// Snapshots of where everything lies, to show that a run (or an analysis)
// left alone what it was not asked to touch.
#pragma once
#include <fcntl.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>
#include <sys/statvfs.h>
#include <unistd.h>
#include "report.h"
#include "test_support.h"

namespace treemaps {

using namespace testsupport;

// Every regular file below the mount point (relative path) and its extent map
// as filefrag -v prints it (without a sync: nothing is written back).
inline std::map<std::string, std::string> tree_maps(const LoopImage &img)
{
	std::map<std::string, std::string> maps;
	CmdResult r = sh("cd '" + img.mnt() +
			 "' && find . -type f -print0 | xargs -0 -r filefrag -v -b$(stat -f -c %S .)");
	std::istringstream in(r.out);
	std::string line, file;
	const std::string head = "File size of ";
	while (std::getline(in, line)) {
		if (line.rfind(head, 0) == 0) {
			file = line.substr(head.size(), line.find(" is ") - head.size());
			maps[file];
		} else if (!file.empty() && line.find("..") != std::string::npos) {
			maps[file] += line + "\n";
		}
	}
	return maps;
}

// The kernel's free-space map of the mounted image: (start, length) in blocks.
inline std::vector<std::pair<uint64_t, uint64_t>> free_map(const LoopImage &img)
{
	std::vector<std::pair<uint64_t, uint64_t>> runs;
	int fd = open(img.mnt().c_str(), O_RDONLY | O_DIRECTORY);
	struct statvfs sv;
	fstatvfs(fd, &sv);
	uint32_t bits = 0;
	while ((1UL << bits) < sv.f_bsize)
		bits++;
	kernel_free_runs(
		fd, bits,
		[](void *arg, uint64_t s, uint64_t l) {
			((std::vector<std::pair<uint64_t, uint64_t>> *)arg)->push_back({s, l});
		},
		&runs);
	close(fd);
	return runs;
}

// Files whose map differs between two snapshots.
inline std::vector<std::string> changed(const std::map<std::string, std::string> &a,
					const std::map<std::string, std::string> &b)
{
	std::vector<std::string> out;
	for (auto &kv : a) {
		auto it = b.find(kv.first);
		if (it == b.end() || it->second != kv.second)
			out.push_back(kv.first);
	}
	return out;
}

} // namespace treemaps

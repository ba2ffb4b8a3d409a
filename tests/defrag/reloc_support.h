// Helpers of the relocation tests: sparse images, free-space figures, whole
// runs in this process with seams.
#pragma once
#include <map>
#include <string>
#include <vector>
#include "test_support.h"

namespace reloctest {

// Free-space figures of a device as e2freefrag reports them.
struct FreeFrag {
	uint64_t block_size = 0;
	uint64_t free_blocks = 0;
	uint64_t free_extents = 0;
	uint64_t max_extent_kb = 0;
	// share (0..1) of the free blocks lying in free extents of at least min_kb
	double share_at_least(uint64_t min_kb) const;
	std::vector<std::pair<uint64_t, uint64_t>> hist; // (range start in KiB, free blocks)
};
FreeFrag freefrag(const std::string &device);

// Writes `count` files of pseudo-random contents into `dir` (created),
// sizes in bytes from `sizes` in turn; returns their paths.
std::vector<std::string> write_files(const std::string &dir, unsigned count,
				     const std::vector<size_t> &sizes, unsigned seed);

// Leaves every `keep_every`-th file and deletes the others; returns survivors.
std::vector<std::string> thin_out(const std::vector<std::string> &files, unsigned keep_every);

// sha256 of every regular file below root (donor names included, so a
// stray donor shows up), keyed by path.
std::map<std::string, std::string> tree_sums(const std::string &root);

// Physical block of each file's first extent.
uint64_t first_pblk(const std::string &path);

// Runs the whole program in this process (so seams apply); captures stdout.
// The settings the run takes from its arguments are put back afterwards.
struct InProcess {
	int status = 0;
	std::string out;
};
InProcess run_in_process(const std::vector<std::string> &args);

// Value after `key` on the first line of `text` that contains it.
long long figure(const std::string &text, const std::string &key);
// Number of lines of `text` containing `needle`.
int count_lines(const std::string &text, const std::string &needle);

} // namespace reloctest

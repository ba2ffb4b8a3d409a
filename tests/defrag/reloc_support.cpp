#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include "quillfold.h"
#include "reloc_support.h"
#include "saved_settings.h"

using namespace testsupport;

namespace reloctest {

static uint64_t size_kb(const std::string &tok)
{
	uint64_t v = strtoull(tok.c_str(), nullptr, 10);
	char unit = tok.empty() ? 0 : tok.back();
	if (unit == 'M')
		v <<= 10;
	else if (unit == 'G')
		v <<= 20;
	else if (unit == 'T')
		v <<= 30;
	return v;
}

double FreeFrag::share_at_least(uint64_t min_kb) const
{
	if (!free_blocks)
		return 0;
	uint64_t b = 0;
	for (auto &h : hist)
		if (h.first >= min_kb)
			b += h.second;
	return (double)b / (double)free_blocks;
}

FreeFrag freefrag(const std::string &device)
{
	FreeFrag f;
	std::istringstream in(sh_ok("e2freefrag " + device));
	std::string line;
	bool hist = false;
	while (std::getline(in, line)) {
		unsigned long long v;
		if (sscanf(line.c_str(), "Blocksize: %llu", &v) == 1)
			f.block_size = v;
		else if (sscanf(line.c_str(), "Free blocks: %llu", &v) == 1)
			f.free_blocks = v;
		else if (sscanf(line.c_str(), "Num. free extent: %llu", &v) == 1)
			f.free_extents = v;
		else if (sscanf(line.c_str(), "Max. free extent: %llu", &v) == 1)
			f.max_extent_kb = v;
		else if (line.find("Extent Size Range") != std::string::npos)
			hist = true;
		else if (hist && line.find("...") != std::string::npos) {
			// "  128K...  256K-  :             1           227    0.41%"
			std::istringstream l(line);
			std::string range, to, colon;
			unsigned long long n, blocks;
			l >> range >> to >> colon >> n >> blocks;
			f.hist.push_back({size_kb(range.substr(0, range.find("..."))), blocks});
		}
	}
	return f;
}

std::vector<std::string> write_files(const std::string &dir, unsigned count,
				     const std::vector<size_t> &sizes, unsigned seed)
{
	std::vector<std::string> paths;
	std::mt19937 rng(seed);
	mkdir(dir.c_str(), 0755);
	for (unsigned i = 0; i < count; i++) {
		std::string p = dir + "/f" + std::to_string(i);
		size_t n = sizes[i % sizes.size()];
		std::string buf(n, '\0');
		for (auto &c : buf)
			c = (char)rng();
		int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		EXPECT_GE(fd, 0) << p;
		if (fd < 0)
			continue;
		EXPECT_EQ(write(fd, buf.data(), n), (ssize_t)n);
		close(fd);
		paths.push_back(p);
	}
	return paths;
}

std::vector<std::string> thin_out(const std::vector<std::string> &files, unsigned keep_every)
{
	std::vector<std::string> kept;
	for (size_t i = 0; i < files.size(); i++) {
		if (i % keep_every == keep_every / 2)
			kept.push_back(files[i]);
		else
			unlink(files[i].c_str());
	}
	return kept;
}

std::map<std::string, std::string> tree_sums(const std::string &root)
{
	std::map<std::string, std::string> m;
	std::istringstream in(
		sh_ok("cd '" + root + "' && find . -type f ! -path './lost+found/*' -print0 | "
		      "sort -z | xargs -0 -r sha256sum"));
	std::string line;
	while (std::getline(in, line))
		if (line.size() > 66)
			m[line.substr(66)] = line.substr(0, 64);
	return m;
}

uint64_t first_pblk(const std::string &path)
{
	auto ex = filefrag(path);
	return ex.empty() ? 0 : ex[0].physical;
}

InProcess run_in_process(const std::vector<std::string> &args)
{
	// Records of earlier runs stay reachable (the program never frees them);
	// the list itself is never destroyed, so they still are at exit.
	static auto *kept = new std::vector<defrag_context>;
	std::vector<std::string> a = args;
	a.insert(a.begin(), "quillfold");
	std::vector<char *> argv;
	for (auto &s : a)
		argv.push_back(&s[0]);
	argv.push_back(nullptr);

	fflush(stdout);
	testing::internal::CaptureStdout();
	InProcess r;
	// the run sets the settings from its command line; later tests find
	// them as they were
	SavedSettings saved;
	r.status = quillfold_main((int)a.size(), argv.data());
	fflush(stdout);
	r.out = testing::internal::GetCapturedStdout();
	kept->push_back(g_ctx);
	return r;
}

long long figure(const std::string &text, const std::string &key)
{
	size_t p = text.find(key);
	if (p == std::string::npos)
		return -1;
	return strtoll(text.c_str() + p + key.size(), nullptr, 10);
}

int count_lines(const std::string &text, const std::string &needle)
{
	std::istringstream in(text);
	std::string line;
	int n = 0;
	while (std::getline(in, line))
		if (line.find(needle) != std::string::npos)
			n++;
	return n;
}

} // namespace reloctest

// Pass1 on real loop-mounted images, against dumpe2fs as an independent
// oracle: the free ranges it lists per group, complemented within the group,
// must be the tree's records one for one.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>
#include <gtest/gtest.h>
#include "golden.h"
#include "quillfold.h"
#include "reloc_support.h"
#include "saved_settings.h"
#include "test_support.h"

using namespace testsupport;

namespace {

struct Run {
	uint64_t start, len;
	bool operator==(const Run &o) const { return start == o.start && len == o.len; }
};
std::ostream &operator<<(std::ostream &os, const Run &r)
{
	return os << "[" << r.start << "," << r.len << "]";
}

struct Oracle {
	uint64_t first_data_block = 0;
	uint32_t ratio = 1;
	uint32_t clusters_per_group = 0;
	std::vector<bool> uninit;           // per group: BLOCK_UNINIT
	std::vector<uint64_t> uninit_in_use; // per group: blocks in use all the same
	std::vector<Run> runs;              // in-use runs, group by group
};

uint64_t field(const std::string &text, const std::string &name)
{
	size_t at = text.find("\n" + name + ":");
	if (at == std::string::npos)
		return 0;
	return std::stoull(text.substr(at + name.size() + 2));
}

Oracle dumpe2fs_oracle(const std::string &dev)
{
	Oracle o;
	std::string text = sh_ok("dumpe2fs " + dev + " 2>/dev/null");
	uint64_t bsize = field(text, "Block size");
	uint64_t csize = field(text, "Cluster size");
	o.ratio = csize ? (uint32_t)(csize / bsize) : 1;
	o.first_data_block = field(text, "First block");
	uint64_t bpg = field(text, "Blocks per group");
	o.clusters_per_group = (uint32_t)(bpg / o.ratio);

	std::istringstream in(text);
	std::string line;
	uint64_t first = 0, last = 0;
	bool uninit = false;
	while (std::getline(in, line)) {
		unsigned long g;
		unsigned long long a, b;
		if (sscanf(line.c_str(), "Group %lu: (Blocks %llu-%llu)", &g, &a, &b) == 3) {
			first = a;
			last = b;
			uninit = line.find("BLOCK_UNINIT") != std::string::npos;
			o.uninit.push_back(uninit);
			o.uninit_in_use.push_back(0);
			continue;
		}
		const std::string tag = "  Free blocks: ";
		if (line.rfind(tag, 0) != 0)
			continue;
		// complement the free ranges within [first, last]
		std::vector<Run> used;
		uint64_t pos = first;
		std::istringstream ranges(line.substr(tag.size()));
		std::string item;
		while (std::getline(ranges, item, ',')) {
			unsigned long long a, b;
			int n = sscanf(item.c_str(), " %llu-%llu", &a, &b);
			if (n < 1)
				continue;
			if (n == 1)
				b = a;
			// with bigalloc both ends name clusters by their first block
			a = a / o.ratio * o.ratio;
			b = (b / o.ratio + 1) * o.ratio - 1;
			if (a > pos)
				used.push_back({pos, a - pos});
			pos = b + 1;
		}
		if (pos <= last)
			used.push_back({pos, last + 1 - pos});
		if (uninit) {
			for (auto &r : used)
				o.uninit_in_use.back() += r.len;
		} else {
			o.runs.insert(o.runs.end(), used.begin(), used.end());
		}
	}
	return o;
}

std::vector<std::string> lines_of(const std::string &s)
{
	std::vector<std::string> v;
	std::istringstream in(s);
	std::string l;
	while (std::getline(in, l))
		v.push_back(l);
	return v;
}

// The records of the first tree dump (the one after Pass1).
std::vector<Run> first_dump(const std::vector<std::string> &lines, size_t *after = nullptr)
{
	std::vector<Run> v;
	const std::string sep = "\t\t\t=================================";
	size_t i = 0;
	while (i < lines.size() && lines[i] != sep)
		i++;
	for (i++; i < lines.size() && lines[i] != sep; i++) {
		void *p;
		unsigned long long start;
		unsigned len;
		char again[200];
		// a fresh record: Pass2 has not touched any counter yet
		if (sscanf(lines[i].c_str(), "\t\t\t ex:%p ->[%llu, %u]", &p, &start, &len) != 3 ||
		    (snprintf(again, sizeof(again),
			      "\t\t\t ex:%p ->[%llu, %u] ex:0 d:0 ro:0 old:0 fnd:0 iaf:0 flags:0", p,
			      start, len),
		     lines[i] != again)) {
			ADD_FAILURE() << "unexpected dump line: " << lines[i];
			continue;
		}
		v.push_back({start, len});
	}
	if (after)
		*after = i;
	return v;
}

// Small files of varied sizes with every other one deleted: many short runs
// of in-use space with holes between them.
void fragment(LoopImage &img, unsigned unit)
{
	sh_ok("cd '" + img.mnt() + "' && mkdir -p d && for i in $(seq 1 300); do "
	      "head -c $(( " + std::to_string(unit) + " * (i % 7 + 1) )) /dev/urandom > d/f$i; "
	      "done && sync && rm -f d/f*[13579] && mkdir -p d/e1 d/e2");
	img.settle();
}

// Runs quillfold with -d 0x4a and checks Pass1's lines and tree against the oracle.
void check_pass1(LoopImage &img, size_t min_runs)
{
	Oracle o = dumpe2fs_oracle(img.device());
	ASSERT_GE(o.runs.size(), min_runs) << "the image should be fragmented";

	CmdResult r = run({QUILLFOLD_BIN, "-v", "-n", "-d", "0x4a", img.device(), img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	auto lines = lines_of(r.out);
	ASSERT_FALSE(lines.empty());
	EXPECT_EQ(lines[0], "Pass1:  Scaning, bitmaps");

	// per-group lines in group order, a skip line for every uninitialised group
	std::vector<std::string> want_groups;
	for (size_t g = 0; g < o.uninit.size(); g++) {
		if (o.uninit[g]) {
			want_groups.push_back("Pass1: group " + std::to_string(g) + " uninitialized, skip it...");
			continue;
		}
		uint64_t base = o.first_data_block / o.ratio + g * o.clusters_per_group;
		want_groups.push_back(" init_one_group grp:" + std::to_string(g) +
				      ", num:" + std::to_string(o.clusters_per_group) +
				      ", off:" + std::to_string(base) + ", ratio:" + std::to_string(o.ratio) + " ");
	}
	std::vector<std::string> got_groups;
	size_t i = 1;
	for (; i < lines.size() && lines[i].rfind("Pass1:  Finished", 0) != 0; i++)
		got_groups.push_back(lines[i]);
	EXPECT_EQ(got_groups, want_groups);
	ASSERT_LT(i, lines.size());
	EXPECT_EQ(lines[i], "Pass1:  Finished. Collected " + std::to_string(o.runs.size()) +
				    " space fragments");

	std::vector<Run> tree = first_dump(lines);
	EXPECT_EQ(tree.size(), o.runs.size());
	EXPECT_EQ(tree, o.runs);
	for (auto &t : tree) {
		EXPECT_EQ(t.start % o.ratio, 0u) << t;
		EXPECT_EQ(t.len % o.ratio, 0u) << t;
	}
}

TEST(Pass1Oracle, FourKiBBlocksPartialLastGroupAndUninitGroups)
{
	REQUIRE_ROOT();
	// 5 groups, the last one partial; the backup-superblock groups stay
	// BLOCK_UNINIT with flex_bg
	LoopImage img(600, "-b 4096", "noatime");
	ASSERT_TRUE(img.ok());
	fragment(img, 4096);
	Oracle o = dumpe2fs_oracle(img.device());
	ASSERT_EQ(o.uninit.size(), 5u);
	bool uninit_with_metadata = false;
	for (size_t g = 0; g < o.uninit.size(); g++)
		if (o.uninit[g] && o.uninit_in_use[g])
			uninit_with_metadata = true;
	EXPECT_TRUE(uninit_with_metadata) << "a BLOCK_UNINIT group that holds a superblock backup";
	check_pass1(img, 100);
}

TEST(Pass1Oracle, OneKiBBlocksStartAtBlockOne)
{
	REQUIRE_ROOT();
	LoopImage img(40, "-b 1024", "noatime");
	ASSERT_TRUE(img.ok());
	fragment(img, 1024);
	Oracle o = dumpe2fs_oracle(img.device());
	ASSERT_EQ(o.first_data_block, 1u);
	ASSERT_FALSE(o.runs.empty());
	EXPECT_EQ(o.runs[0].start, 1u) << "bit 0 of group 0 is block 1";
	check_pass1(img, 100);
}

TEST(Pass1Oracle, BigallocRunsAreWholeClusters)
{
	REQUIRE_ROOT();
	LoopImage img(256, "-b 4096 -O bigalloc -C 65536", "noatime");
	ASSERT_TRUE(img.ok());
	fragment(img, 4096);
	Oracle o = dumpe2fs_oracle(img.device());
	ASSERT_EQ(o.ratio, 16u);
	check_pass1(img, 50);
}

TEST(Pass1Oracle, VerboseAndSummaryAgreeWithTheTree)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096", "noatime");
	ASSERT_TRUE(img.ok());
	fragment(img, 4096);
	Oracle o = dumpe2fs_oracle(img.device());
	std::string n = std::to_string(o.runs.size());

	CmdResult r = run({QUILLFOLD_BIN, "-v", "-m", "-n", img.device(), img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	auto lines = lines_of(r.out);
	ASSERT_GE(lines.size(), 13u) << r.out;
	EXPECT_EQ(lines[0], "Pass1:  Scaning, bitmaps");
	EXPECT_EQ(lines[1], "Pass1:  Finished. Collected " + n + " space fragments");
	// every pass announces itself, in run order
	size_t at = 2;
	for (const char *p : {"Pass2:  Scan directory hierarchy", "Pass2:  Finished. Scanned ",
			      "Pass3_prep:  Scan and rate cached extents", "Pass3_prep ",
			      "Pass3:  Rescan directory hierarchy, scan inodes for relocation",
			      "Pass3:  Finished. Found ", "Pass4: Process defrag list "}) {
		while (at < lines.size() && lines[at].rfind(p, 0) != 0)
			at++;
		EXPECT_LT(at, lines.size()) << "missing or out of order: " << p;
	}
	// the summary closes the output: its last 11 lines
	std::string summary;
	for (size_t k = lines.size() - 11; k < lines.size(); k++)
		summary += lines[k] + "\n";
	EXPECT_GOLDEN(summary, "quillfold-summary.txt",
		      {{"EXTENTS", n}, {"KB", std::to_string((o.runs.size() * 64) >> 10)}});

	// without -m no summary line at all
	r = run({QUILLFOLD_BIN, "-v", img.device(), img.mnt(), "-n"});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out.find("Total extents"), std::string::npos);
	EXPECT_EQ(r.out.find("Inodes  scanned"), std::string::npos);
	// -d 4 means nothing
	CmdResult r4 = run({QUILLFOLD_BIN, "-v", "-d", "4", "-n", img.device(), img.mnt()});
	EXPECT_EQ(r4.out.substr(0, r4.out.find("Pass2")), r.out.substr(0, r.out.find("Pass2")));
}

// Fields of /sys/block/<dev>/stat: 4 write I/Os, 6 sectors written, 15 flushes.
std::vector<uint64_t> disk_stat(const std::string &dev)
{
	std::ifstream f("/sys/block/" + dev.substr(dev.rfind('/') + 1) + "/stat");
	std::vector<uint64_t> v(17, 0);
	for (auto &x : v)
		f >> x;
	return v;
}

TEST(Pass1Oracle, NothingIsWrittenThroughTheDevice)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096", "noatime");
	ASSERT_TRUE(img.ok());
	sh_ok("head -c 100000 /dev/urandom > '" + img.path("one") + "'");
	img.settle();
	auto before = disk_stat(img.device());
	uint64_t writes = img.device_writes();
	CmdResult r = run({QUILLFOLD_BIN, "-v", "-m", "-n", "-d", "0x48", img.device(), img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	auto after = disk_stat(img.device());
	EXPECT_EQ(after[6], before[6]) << "sectors written";
	// Opening the device, the library fsyncs it, which sends an empty
	// flush; so does any other test's sync while this one runs, so flushes
	// are not counted: no data-carrying write may appear.
	EXPECT_EQ(img.device_writes(), writes);
	// and the device node is opened for reading only
	CmdResult st = sh("strace -f -e trace=openat -o /dev/stdout " QUILLFOLD_BIN " -n '" +
			  img.device() + "' '" + img.mnt() + "' | grep '" + img.device() + "'");
	if (st.status == 0) {
		EXPECT_NE(st.out.find("O_RDONLY"), std::string::npos) << st.out;
		EXPECT_EQ(st.out.find("O_RDWR"), std::string::npos) << st.out;
		EXPECT_EQ(st.out.find("O_WRONLY"), std::string::npos) << st.out;
	}
}

} // namespace

namespace {

TEST(Pass1Fatal, UnreadableBitmapsStopTheRun)
{
	REQUIRE_ROOT();
	LoopImage img(32, "-b 4096 -O metadata_csum", "noatime");
	ASSERT_TRUE(img.ok());
	std::string text = sh_ok("dumpe2fs " + img.device() + " 2>/dev/null");
	unsigned long long blk = 0;
	size_t at = text.find("Block bitmap at ");
	ASSERT_NE(at, std::string::npos);
	ASSERT_EQ(sscanf(text.c_str() + at, "Block bitmap at %llu", &blk), 1);
	// garbage in group 0's bitmap: its checksum no longer matches; the kernel
	// only reads it when it next allocates there
	img.unmount();
	sh_ok("dd if=/dev/urandom of='" + img.image() + "' bs=4096 seek=" + std::to_string(blk) +
	      " count=1 conv=notrunc status=none");
	img.mount();
	CmdResult r = run({QUILLFOLD_BIN, "-v", "-m", img.device(), img.mnt()});
	EXPECT_EQ(r.status, 1);
	EXPECT_GOLDEN(r.err, "quillfold-bitmap-error.txt");
	EXPECT_EQ(r.out, "") << "nothing before the bitmaps are loaded";
}

// The kernel rewrote a bitmap while it was read: its checksum fails once.
int g_bitmap_reads;
errcode_t bitmap_torn_once(ext2_filsys fs)
{
	if (g_bitmap_reads++ == 0)
		return EXT2_ET_BLOCK_BITMAP_CSUM_INVALID;
	return qf_sys_default.read_bitmaps(fs);
}

TEST(Pass1Fatal, ABitmapReadThatFailsOnceIsReadAgain)
{
	REQUIRE_ROOT();
	SavedSettings saved;
	LoopImage img(64, "-b 4096 -O metadata_csum", "noatime");
	ASSERT_TRUE(img.ok());
	fragment(img, 4096);
	img.settle();
	std::string finished = "Pass1:  Finished. Collected " +
			       std::to_string(dumpe2fs_oracle(img.device()).runs.size()) +
			       " space fragments\n";
	g_bitmap_reads = 0;
	qf_sys.read_bitmaps = bitmap_torn_once;
	reloctest::InProcess r = reloctest::run_in_process({"-v", "-n", img.device(), img.mnt()});
	qf_sys = qf_sys_default;
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(g_bitmap_reads, 2);
	EXPECT_NE(r.out.find(finished), std::string::npos) << r.out;
}

} // namespace

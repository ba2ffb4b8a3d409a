// Extent maps: hand-made kernel answers through the seam. Real files on a
// loop-mounted ext4 are in extent_map_image_test.cpp.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <linux/fiemap.h>
#include <sys/stat.h>
#include "scan_helpers.h"

using namespace testsupport;
using namespace scantest;

namespace {

// A scripted kernel: the file's records (in bytes), handed out in batches the
// way FS_IOC_FIEMAP does, from the first record that ends after fm_start.
struct FakeRec {
	uint64_t lblk, pblk, len; // in blocks
	uint32_t flags;
};
std::vector<FakeRec> g_recs;
std::vector<uint64_t> g_starts;
int g_fail_call = -1; // call index that fails with -1
uint32_t g_bits = 12;

int fake_fiemap(int, struct fiemap *fm)
{
	int call = (int)g_starts.size();
	g_starts.push_back(fm->fm_start);
	if (call == g_fail_call)
		return -1;
	uint32_t n = 0;
	for (size_t i = 0; i < g_recs.size() && n < fm->fm_extent_count; i++) {
		const FakeRec &r = g_recs[i];
		if (((r.lblk + r.len) << g_bits) <= fm->fm_start)
			continue;
		struct fiemap_extent *fe = &fm->fm_extents[n++];
		fe->fe_logical = r.lblk << g_bits;
		fe->fe_physical = r.pblk << g_bits;
		fe->fe_length = r.len << g_bits;
		fe->fe_flags = r.flags | (i + 1 == g_recs.size() ? FIEMAP_EXTENT_LAST : 0);
	}
	fm->fm_mapped_extents = n;
	return 0;
}

struct SeamMap : SettingsTest {
	FakeFs ffs{32768, 8192};
	defrag_context ctx{};
	struct fmap *map = nullptr;
	struct fest fest{};
	void SetUp() override
	{
		reset_run_state();
		g_recs.clear();
		g_starts.clear();
		g_fail_call = -1;
		ctx.fs = &ffs.fs;
		qf_sys.fiemap = fake_fiemap;
	}
	void TearDown() override { free(map); }
	// Inode 1 lies in group 0.
	int read(uint64_t ino = 1) { return __get_inode_fiemap(&ctx, -1, ino, g_bits, &map, &fest); }
};

TEST_F(SeamMap, ContinuingRecordsMergeButCountSeparately)
{
	g_recs = {{0, 1000, 8, 0}, {8, 1008, 8, FIEMAP_EXTENT_UNWRITTEN}};
	ASSERT_EQ(read(), 0);
	ASSERT_EQ(map->count, 1u);
	EXPECT_EQ(map->ext[0].lblk, 0u);
	EXPECT_EQ(map->ext[0].pblk, 1000u);
	EXPECT_EQ(map->ext[0].len, 16u);
	EXPECT_EQ(fest.frag, 1u);
	EXPECT_EQ(fest.hole, 0u);
	EXPECT_EQ(fest.local_ex, 2u);
	EXPECT_EQ(fest.local_sz, 16u);
	EXPECT_EQ(fest.group, 1u);
	// counted before merging
	EXPECT_EQ(scanned_extents, 2u);
	EXPECT_EQ(scanned_blocks, 16u);
}

TEST_F(SeamMap, HolesFragmentsAndGroupRuns)
{
	// starts with a hole; runs in groups 1, 2, 1; a logical gap between
	// physically continuing runs is a hole but no new fragment
	g_recs = {{4, 32768, 4, 0}, {8, 65536, 4, 0}, {20, 65540, 2, 0}, {22, 32800, 1, 0}};
	ASSERT_EQ(read(), 0);
	EXPECT_EQ(map->count, 4u);
	EXPECT_EQ(fest.hole, 2u);
	EXPECT_EQ(fest.frag, 3u);
	EXPECT_EQ(fest.group, 3u);
	EXPECT_EQ(fest.local_ex, 0u) << "inode 1 is in group 0";
	// inode 8193 is in group 1: two local records, whole lengths
	free(map);
	map = nullptr;
	ASSERT_EQ(read(8193), 0);
	EXPECT_EQ(fest.local_ex, 2u);
	EXPECT_EQ(fest.local_sz, 5u);
}

TEST_F(SeamMap, FlexGroupsMakeDistantGroupsLocal)
{
	// block group 17 and inode group 30 share flex group 1 of 16 groups
	g_recs = {{0, 17ull * 32768 + 5, 3, 0}};
	ctx.flex_log = 4;
	ASSERT_EQ(read(30ull * 8192 + 1), 0);
	EXPECT_EQ(fest.local_ex, 1u);
	EXPECT_EQ(fest.local_sz, 3u);
	free(map);
	map = nullptr;
	ctx.flex_log = 0;
	ASSERT_EQ(read(30ull * 8192 + 1), 0);
	EXPECT_EQ(fest.local_ex, 0u);
}

TEST_F(SeamMap, BatchesOf512)
{
	// 512 records, the last one marked: one request
	for (uint64_t i = 0; i < 512; i++)
		g_recs.push_back({i * 2, 5000 + i * 3, 1, 0});
	ASSERT_EQ(read(), 0);
	EXPECT_EQ(g_starts.size(), 1u);
	EXPECT_EQ(map->count, 512u);
	free(map);
	map = nullptr;
	g_starts.clear();

	// 513 records: the second request starts where the 512th record ends
	g_recs.push_back({1100, 9000, 2, 0});
	ASSERT_EQ(read(), 0);
	ASSERT_EQ(g_starts.size(), 2u);
	EXPECT_EQ(g_starts[0], 0u);
	EXPECT_EQ(g_starts[1], (511ull * 2 + 1) << g_bits);
	ASSERT_EQ(map->count, 513u);
	EXPECT_EQ(map->ext[512].lblk, 1100u);
	EXPECT_EQ(map->ext[512].pblk, 9000u);
	EXPECT_EQ(fest.hole, 512u) << "every record but the first starts after a gap";
	EXPECT_EQ(fest.frag, 513u);
	EXPECT_GE(map->capacity, map->count);
	EXPECT_EQ(scanned_extents, 512u + 513u);
}

TEST_F(SeamMap, MapGrowsByHalf)
{
	std::vector<uint32_t> caps;
	for (uint64_t n = 1; n <= 30; n++) {
		g_recs.clear();
		for (uint64_t i = 0; i < n; i++)
			g_recs.push_back({i * 2, 100 + i * 3, 1, 0});
		ASSERT_EQ(read(), 0);
		ASSERT_EQ(map->count, n);
		if (caps.empty() || caps.back() != map->capacity)
			caps.push_back(map->capacity);
		free(map);
		map = nullptr;
	}
	EXPECT_EQ(caps, (std::vector<uint32_t>{4, 6, 9, 13, 19, 28, 42}));
}

TEST_F(SeamMap, RefusedFlagsFailWithCompleteMap)
{
	// a shared record in the first batch, more records in the second
	for (uint64_t i = 0; i < 600; i++)
		g_recs.push_back({i * 2, 5000 + i * 3, 1, i == 7 ? FIEMAP_EXTENT_SHARED : 0u});
	debug_flags = 0x20;
	testing::internal::CaptureStderr();
	EXPECT_EQ(read(), -1);
	std::string err = testing::internal::GetCapturedStderr();
	ASSERT_NE(map, nullptr);
	EXPECT_EQ(map->count, 600u);
	EXPECT_NE(err.find("Bad extent found ino:1 lblk:14, len:1, pblk:5021 flags:2000\n"),
		  std::string::npos)
		<< err;

	for (uint32_t flag : {FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_NOT_ALIGNED,
			      FIEMAP_EXTENT_DELALLOC, FIEMAP_EXTENT_UNKNOWN, FIEMAP_EXTENT_ENCODED,
			      FIEMAP_EXTENT_MERGED, FIEMAP_EXTENT_DATA_TAIL}) {
		free(map);
		map = nullptr;
		g_recs = {{0, 100, 1, flag}, {1, 200, 1, 0}};
		EXPECT_EQ(read(), -1) << std::hex << flag;
		ASSERT_NE(map, nullptr);
		EXPECT_EQ(map->count, 2u);
	}
}

TEST_F(SeamMap, EmptyAndFailedRequests)
{
	// nothing mapped: success, empty map
	ASSERT_EQ(read(), 0);
	ASSERT_NE(map, nullptr);
	EXPECT_EQ(map->count, 0u);
	EXPECT_EQ(fest.frag, 0u);
	free(map);
	map = nullptr;

	// the second request fails: its result, with the first batch kept
	for (uint64_t i = 0; i < 520; i++)
		g_recs.push_back({i * 2, 5000 + i * 3, 1, 0});
	g_starts.clear();
	g_fail_call = 1;
	debug_flags = 0x20;
	testing::internal::CaptureStderr();
	testing::internal::CaptureStdout();
	EXPECT_EQ(read(77), -1);
	std::string err = testing::internal::GetCapturedStderr();
	std::string out = testing::internal::GetCapturedStdout();
	ASSERT_NE(map, nullptr);
	EXPECT_EQ(map->count, 512u);
	EXPECT_NE(err.find("__get_inode_fiemap Can get extent info for inode:77 ret:-1 mapped:0\n"),
		  std::string::npos)
		<< err;
	EXPECT_NE(out.find("__get_inode_fiemap fmap stat ino:77 hole:511 frag:512 local_ex:512 "
			   "local_sz:512 group:1\n"),
		  std::string::npos)
		<< out;
}

TEST(FmapChecksum, ChangesWithIdentitySizeAllocationAndMapOnly)
{
	struct stat st;
	memset(&st, 0, sizeof(st));
	st.st_ino = 12;
	st.st_size = 40960;
	st.st_blocks = 80;
	std::vector<fmap_extent> exts = {{10, 0, 5000}, {3, 10, 9000}};
	auto sum = [](const struct stat &s, const std::vector<fmap_extent> &v) {
		std::vector<char> buf(sizeof(struct fmap) + v.size() * sizeof(fmap_extent));
		struct fmap *m = (struct fmap *)buf.data();
		m->capacity = m->count = (uint32_t)v.size();
		std::copy(v.begin(), v.end(), m->ext);
		return fmap_csum(&s, m);
	};
	uint32_t base = sum(st, exts);
	EXPECT_EQ(sum(st, exts), base);

	// fields outside identity, size and allocation do not matter
	struct stat other = st;
	other.st_mtime = 123456;
	other.st_mode = 0100644;
	other.st_uid = 7;
	other.st_dev = 99;
	EXPECT_EQ(sum(other, exts), base);

	other = st;
	other.st_ino = 13;
	EXPECT_NE(sum(other, exts), base);
	other = st;
	other.st_size = 40961;
	EXPECT_NE(sum(other, exts), base);
	other = st;
	other.st_blocks = 88;
	EXPECT_NE(sum(other, exts), base);
	for (int f = 0; f < 3; f++) {
		for (size_t i = 0; i < exts.size(); i++) {
			auto v = exts;
			if (f == 0)
				v[i].len++;
			else if (f == 1)
				v[i].lblk++;
			else
				v[i].pblk += 1ull << 32;
			EXPECT_NE(sum(st, v), base) << f << " " << i;
		}
	}
	auto shorter = exts;
	shorter.pop_back();
	EXPECT_NE(sum(st, shorter), base);
	// the bytes are chained in order: swapping entries changes the sum
	auto swapped = exts;
	std::swap(swapped[0], swapped[1]);
	EXPECT_NE(sum(st, swapped), base);
}

} // namespace

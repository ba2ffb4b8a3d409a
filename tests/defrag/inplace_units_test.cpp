// Extent moves through the kernel seam, the in-place test, and the group
// records with their directory cache. Nothing here needs root or a mount.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include "group_cache_fixture.h"
#include "quillfold.h"
#include "saved_settings.h"
#include "test_support.h"

using namespace testsupport;

namespace {

// One scripted answer of the fake EXT4_IOC_MOVE_EXT.
struct MoveStep {
	int ret;	    // 0 or -1
	int err;	    // errno when ret is -1
	uint64_t moved; // what the kernel reports in moved_len
};

std::vector<MoveStep> g_script;
std::vector<move_extent> g_seen; // the request as the kernel received it
size_t g_next;

int fake_move_ext(int, struct move_extent *req)
{
	g_seen.push_back(*req);
	if (g_next >= g_script.size()) {
		ADD_FAILURE() << "more move calls than scripted";
		errno = EIO;
		return -1;
	}
	MoveStep s = g_script[g_next++];
	req->moved_len = s.moved;
	if (s.ret < 0)
		errno = s.err;
	return s.ret;
}

class MoveSeam : public SettingsTest {
protected:
	void SetUp() override
	{
		g_script.clear();
		g_seen.clear();
		g_next = 0;
		qf_sys.move_ext = fake_move_ext;
		debug_flags = 0;
		verbose = 0;
		donor_init(&d);
		d.fd = 99;
	}
	int move(uint64_t eof, int dry = 0)
	{
		uint64_t ino = 12;
		return do_defrag_one(dry, 7, ino, nullptr, eof, &d);
	}
	struct donor d;
};

} // namespace

TEST_F(MoveSeam, EbusyIsRetriedThreeTimesAndTheBudgetRefillsOnSuccess)
{
	d.length = 100;
	// three EBUSY answers are retried; a success restores the whole budget, so
	// three more EBUSY answers later are retried again
	g_script = {{-1, EBUSY, 0}, {-1, EBUSY, 0}, {-1, EBUSY, 0}, {0, 0, 40},
		    {-1, EBUSY, 0}, {-1, EBUSY, 0}, {-1, EBUSY, 0}, {0, 0, 60}};
	EXPECT_EQ(move(100), 0);
	EXPECT_EQ(g_seen.size(), 8u);
	EXPECT_EQ(g_seen[4].orig_start, 40u);
	EXPECT_EQ(g_seen[4].len, 60u);
	EXPECT_EQ(d.length, 0u) << "a file as long as the donor uses it up";
	EXPECT_EQ(d.offset, 100u);
}

TEST_F(MoveSeam, FourthEbusyInARowEndsTheMoveAndOtherErrorsAreNotRetried)
{
	d.length = 50;
	g_script = {{-1, EBUSY, 0}, {-1, EBUSY, 0}, {-1, EBUSY, 0}, {-1, EBUSY, 0}};
	EXPECT_LT(move(50), 0);
	EXPECT_EQ(errno, EBUSY);
	EXPECT_EQ(g_seen.size(), 4u);
	EXPECT_EQ(d.length, 50u);
	EXPECT_EQ(d.offset, 0u);

	// EINVAL ends the move at the first call, not retried
	SetUp();
	d.length = 50;
	g_script = {{-1, EBUSY, 8}, {-1, EINVAL, 4}};
	EXPECT_LT(move(50), 0);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(g_seen.size(), 2u);
	EXPECT_EQ(g_seen[1].orig_start, 8u);
	EXPECT_EQ(g_seen[1].donor_start, 8u);
}

// A batch shares one donor: a member whose move fails part-way has still
// exchanged what the kernel reports, so the next member must start past it.
TEST_F(MoveSeam, BlocksOfACallThatFailsPartWayStayCountedForTheNextMember)
{
	d.length = 100;
	g_script = {{0, 0, 5}, {-1, EINVAL, 7}};
	EXPECT_LT(move(20), 0);
	EXPECT_EQ(d.offset, 12u);
	EXPECT_EQ(d.length, 88u);

	g_script.push_back({0, 0, 30});
	EXPECT_EQ(move(30), 0);
	ASSERT_EQ(g_seen.size(), 3u);
	EXPECT_EQ(g_seen[2].orig_start, 0u);
	EXPECT_EQ(g_seen[2].donor_start, 12u) << "not onto blocks the first member already took";
	EXPECT_EQ(d.offset, 42u);
	EXPECT_EQ(d.length, 58u);
}

TEST_F(MoveSeam, PartialMovesAdvanceBothStartsFromAUsedDonor)
{
	d.offset = 30; // earlier files of a batch took 30 blocks
	d.length = 70;
	g_script = {{0, 0, 16}, {0, 0, 4}, {0, 0, 5}};
	EXPECT_EQ(move(25), 0);
	ASSERT_EQ(g_seen.size(), 3u);
	EXPECT_EQ(g_seen[0].reserved, 0u);
	EXPECT_EQ(g_seen[0].donor_fd, 99u);
	EXPECT_EQ(g_seen[0].orig_start, 0u);
	EXPECT_EQ(g_seen[0].donor_start, 30u);
	EXPECT_EQ(g_seen[0].len, 25u);
	EXPECT_EQ(g_seen[1].orig_start, 16u);
	EXPECT_EQ(g_seen[1].donor_start, 46u);
	EXPECT_EQ(g_seen[1].len, 9u);
	EXPECT_EQ(g_seen[2].orig_start, 20u);
	EXPECT_EQ(g_seen[2].donor_start, 50u);
	EXPECT_EQ(g_seen[2].len, 5u);
	EXPECT_EQ(d.offset, 55u);
	EXPECT_EQ(d.length, 45u);
}

TEST_F(MoveSeam, ASuccessThatMovesNothingEndsTheMoveAsAFailure)
{
	d.length = 20;
	g_script = {{0, 0, 5}, {0, 0, 0}};
	EXPECT_LT(move(20), 0);
	EXPECT_EQ(g_seen.size(), 2u) << "no third call with the same range";
	EXPECT_EQ(d.offset, 5u);
	EXPECT_EQ(d.length, 15u);
}

TEST_F(MoveSeam, DryRunMakesNoCallAndLeavesTheDonorAlone)
{
	d.offset = 3;
	d.length = 20;
	testing::internal::CaptureStdout();
	EXPECT_EQ(move(10, 1), 0);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
	debug_flags = 0x01;
	testing::internal::CaptureStdout();
	EXPECT_EQ(move(10, 1), 0);
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
		  "Fileystem is readonly, skip actual defrag");
	EXPECT_TRUE(g_seen.empty());
	EXPECT_EQ(d.offset, 3u);
	EXPECT_EQ(d.length, 20u);
}

TEST_F(MoveSeam, VerboseReportsEachFailedCallOnStderr)
{
	verbose = 1;
	d.length = 10;
	g_script = {{-1, EBUSY, 0}, {-1, EPERM, 0}};
	testing::internal::CaptureStderr();
	EXPECT_LT(move(10), 0);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_NE(err.find("do_defrag_one EXT4_IOC_MOVE_EXT failed Device or resource busy\n"),
		  std::string::npos)
		<< err;
	EXPECT_NE(err.find("do_defrag_one EXT4_IOC_MOVE_EXT failed Operation not permitted\n"),
		  std::string::npos)
		<< err;
}

// A map of n entries built from (lblk, len) pairs laid out apart on the device.
static struct fmap *make_map(std::vector<std::pair<uint32_t, uint32_t>> runs)
{
	struct fmap *m = (struct fmap *)calloc(1, sizeof(struct fmap) +
							  runs.size() * sizeof(struct fmap_extent));
	m->capacity = m->count = (uint32_t)runs.size();
	uint64_t p = 1000;
	for (size_t i = 0; i < runs.size(); i++) {
		m->ext[i] = {runs[i].second, runs[i].first, p};
		p += runs[i].second + 7;
	}
	return m;
}

class CheckIaf : public SettingsTest {};

TEST_F(CheckIaf, QualifiesOnlyShortFragmentsWithoutHoles)
{
	debug_flags = 0;
	struct fest fest = {};

	struct fmap *m = make_map({{0, 64}, {64, 64}});
	fest.frag = 2;
	EXPECT_EQ(check_iaf(11, m, &fest, 128), 1) << "128 blocks in 2 pieces: 64 on average";
	free(m);

	m = make_map({{0, 65}, {65, 65}});
	EXPECT_EQ(check_iaf(11, m, &fest, 130), 0) << "130 / 2 = 65 is above 64";
	free(m);

	m = make_map({{0, 4}, {10, 4}});
	fest.hole = 1;
	EXPECT_EQ(check_iaf(11, m, &fest, 14), 0) << "a hole";
	free(m);

	m = make_map({{0, 4}});
	fest.hole = 0;
	fest.frag = 1;
	EXPECT_EQ(check_iaf(11, m, &fest, 4), 0) << "one extent";
	free(m);

	debug_flags = 0x01;
	m = make_map({{0, 1}, {1, 1}, {2, 1}});
	fest.frag = 3;
	testing::internal::CaptureStdout();
	EXPECT_EQ(check_iaf(42, m, &fest, 3), 1);
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
		  "check_iaf ino:42 frag:3 eof_blk:3 free_space_aver:64 ret:1\n");
	free(m);
}

TEST_F(GroupCache, DuplicatesOnceAndThe33rdDirectoryIsRefused)
{
	alloc_groups();
	ASSERT_GE(group_slot_count(&ctx), 40u);
	uint64_t base = 3 * ipg + 1; // inodes of block group 3
	for (int i = 0; i < 33; i++)
		group_add_dircache(&ctx, ctx.root_fd, base + i, mkdir_n(i).c_str());
	// offered again (as the parent "." of a file): nothing changes
	group_add_dircache(&ctx, ctx.root_fd, base + 5, "d5");

	struct group_info *gi = ctx.groups[3];
	ASSERT_NE(gi, nullptr);
	EXPECT_EQ(gi->dircache_count, 32u);
	for (uint32_t i = 0; i < 32; i++)
		EXPECT_EQ(gi->dircache_ino[i], base + i);
	EXPECT_EQ(gi->ief_inodes, 0u);
	EXPECT_EQ(gi->cand_head, nullptr);
	EXPECT_EQ(gi->cand_tree.rb_node, nullptr);
	EXPECT_EQ(gi->flags, 0u);
	for (uint32_t g = 0; g < group_slot_count(&ctx); g++) {
		if (g != 3) {
			EXPECT_EQ(ctx.groups[g], nullptr) << "group " << g;
		}
	}

	// slot i holds the handle of the i-th directory
	std::vector<unsigned char> h(sizeof(struct file_handle) + 128);
	struct file_handle *fh = (struct file_handle *)h.data();
	fh->handle_bytes = 128;
	int mid;
	ASSERT_EQ(name_to_handle_at(ctx.root_fd, "d7", fh, &mid, 0), 0);
	EXPECT_EQ(memcmp(gi->dircache_fid + 7 * ctx.root_fhandle->handle_bytes, fh->f_handle,
			 fh->handle_bytes),
		  0);
}

TEST_F(GroupCache, FlexGroupsShareOneCacheAndTheFirstEntryIsTraced)
{
	ctx.flex_log = 4;
	alloc_groups();
	EXPECT_EQ(group_slot_count(&ctx), 3u); // 40 block groups in flex groups of 16
	debug_flags = 0x10;
	testing::internal::CaptureStdout();
	for (int g = 16; g < 32; g++)
		group_add_dircache(&ctx, ctx.root_fd, (uint64_t)g * ipg + 2, mkdir_n(g).c_str());
	std::string out = testing::internal::GetCapturedStdout();
	ASSERT_NE(ctx.groups[1], nullptr);
	EXPECT_EQ(ctx.groups[1]->dircache_count, 16u);
	EXPECT_EQ(ctx.groups[0], nullptr);
	EXPECT_EQ(ctx.groups[2], nullptr);
	std::string first = "group_add_dircache group:1 cache_idx:0 inode:" +
			    std::to_string(16 * ipg + 2) + "\n";
	EXPECT_EQ(out.substr(0, first.size()), first) << out;
}

TEST_F(GroupCache, AHandleThatCannotBeTakenIsNotCached)
{
	alloc_groups();
	debug_flags = 0x02;
	testing::internal::CaptureStderr();
	group_add_dircache(&ctx, ctx.root_fd, 5, "no-such-directory");
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "Unexpected result from name_to_handle_at()\n");
	ASSERT_NE(ctx.groups[0], nullptr) << "the record is made before the handle is taken";
	EXPECT_EQ(ctx.groups[0]->dircache_count, 0u);
}

TEST_F(GroupCache, OpenByHandleReachesTheDirectoryUntilItIsRemoved)
{
	alloc_groups();
	group_add_dircache(&ctx, ctx.root_fd, 20, mkdir_n(1).c_str());
	ASSERT_EQ(ctx.groups[0]->dircache_count, 1u);
	const unsigned char *payload = ctx.groups[0]->dircache_fid;
	verbose = 1;
	int fd = __do_open_f_handle(ctx.root_fd, ctx.root_fhandle, payload, O_RDONLY);
	if (geteuid() == 0) {
		ASSERT_GE(fd, 0);
		struct stat a, b;
		fstat(fd, &a);
		stat((tmp.path() + "/d1").c_str(), &b);
		EXPECT_EQ(a.st_ino, b.st_ino);
		close(fd);
		rmdir((tmp.path() + "/d1").c_str());
		testing::internal::CaptureStdout();
		fd = __do_open_f_handle(ctx.root_fd, ctx.root_fhandle, payload, O_RDONLY);
		std::string out = testing::internal::GetCapturedStdout();
		EXPECT_EQ(fd, -1);
		EXPECT_EQ(out.rfind("__do_open_f_handle:607 open_by_handle_at failed :errno:", 0), 0u)
			<< out;
	} else {
		EXPECT_EQ(fd, -1) << "opening by handle needs CAP_DAC_READ_SEARCH";
		EXPECT_EQ(errno, EPERM);
	}
}

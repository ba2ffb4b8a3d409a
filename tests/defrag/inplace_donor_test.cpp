// Donor files on a mounted image, called in-process: where they are sought,
// when they are refused, and that nothing of a donor outlives its use.
#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#include "inplace_fixture.h"
#include "reloc_support.h"
#include "saved_settings.h"

using namespace testsupport;
using namespace inplace;
using reloctest::count_lines;

namespace {

class Donors : public SettingsTest {
protected:
	void SetUp() override
	{
		debug_flags = 0;
		verbose = 0;
	}
	// Caches a directory (relative to the mount point) in its group.
	void cache(SetUpCtx &mc, const LoopImage &img, const std::string &rel)
	{
		struct stat st;
		ASSERT_EQ(stat(img.path(rel).c_str(), &st), 0);
		group_add_dircache(&mc.ctx, mc.ctx.root_fd, st.st_ino, rel.c_str());
	}
};

} // namespace

namespace {

// The kernel refuses unnamed files (an old kernel, or a file system without them).
int openat_without_tmpfile(int dir_fd, const char *name, int flags, mode_t mode)
{
	if ((flags & O_TMPFILE) == O_TMPFILE) {
		errno = EOPNOTSUPP;
		return -1;
	}
	return qf_sys_default.openat(dir_fd, name, flags, mode);
}

} // namespace

// A file of the donor's name (left by an older run, or the user's own) is no
// obstacle to a donor without a name; only the named fallback has to pass the
// directory by, and either way the file is left alone.
TEST_F(Donors, ANameAlreadyTakenIsLeftAloneAndOnlyTheNamedFallbackPassesItBy)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096");
	ASSERT_TRUE(img.ok());
	sh_ok("mkdir '" + img.path("x") + "' '" + img.path("y") + "' && echo mine > '" +
	      img.path("x/.quillfold_donor.tmp") + "'");
	SetUpCtx mc(img.device(), img.mnt());
	ASSERT_TRUE(mc.ok());
	cache(mc, img, "x");
	cache(mc, img, "y");
	ASSERT_EQ(mc.ctx.groups[0]->dircache_count, 2u);
	img.settle();
	uint64_t free_before = free_blocks(img);

	struct donor d;
	donor_init(&d);
	debug_flags = 0x01;
	testing::internal::CaptureStderr();
	testing::internal::CaptureStdout();
	int ret = prepare_donor(&mc.ctx, 0, &d, 100, 0, 1);
	std::string out = testing::internal::GetCapturedStdout();
	std::string err = testing::internal::GetCapturedStderr();
	ASSERT_EQ(ret, 0) << out << err;
	EXPECT_EQ(err, "") << "the first directory takes it";
	EXPECT_EQ(count_lines(out, "do_find_donor TRY grp:0"), 1) << out;
	EXPECT_GE(d.fd, 0);
	EXPECT_EQ(d.offset, 0u);
	EXPECT_EQ(d.length, 100u);
	ASSERT_NE(d.fec, nullptr);
	EXPECT_EQ(d.fest.frag, 1u);
	EXPECT_EQ(fmap_eof_blk(d.fec), 100u);
	struct stat st;
	ASSERT_EQ(fstat(d.fd, &st), 0);
	EXPECT_EQ(st.st_nlink, 0u);
	EXPECT_EQ(st.st_size, 100 * 4096);

	// an open donor is first tried again with the new size
	int fd = d.fd;
	testing::internal::CaptureStdout();
	ret = prepare_donor(&mc.ctx, 0, &d, 40, 0, 1);
	out = testing::internal::GetCapturedStdout();
	EXPECT_EQ(ret, 0);
	EXPECT_EQ(d.fd, fd);
	EXPECT_EQ(d.length, 40u);
	EXPECT_EQ(out.find("do_find_donor"), std::string::npos) << out;
	ASSERT_EQ(fstat(d.fd, &st), 0);
	EXPECT_EQ(st.st_size, 40 * 4096);

	release_donor_space(&d);
	EXPECT_EQ(d.fec, nullptr);
	EXPECT_EQ(d.length, 0u);
	EXPECT_EQ(d.fd, fd) << "the descriptor stays open";
	ASSERT_EQ(fstat(d.fd, &st), 0);
	EXPECT_EQ(st.st_size, 0);
	close_donor(&d);
	EXPECT_EQ(d.fd, -1);

	// named, the donor cannot take x (O_EXCL) and goes to y, unlinked at once
	qf_sys.openat = openat_without_tmpfile;
	testing::internal::CaptureStderr();
	testing::internal::CaptureStdout();
	ret = prepare_donor(&mc.ctx, 0, &d, 100, 0, 1);
	out = testing::internal::GetCapturedStdout();
	err = testing::internal::GetCapturedStderr();
	qf_sys = qf_sys_default;
	ASSERT_EQ(ret, 0) << out << err;
	EXPECT_EQ(err, "Can not create donor file File exists\n");
	EXPECT_EQ(count_lines(out, "do_find_donor TRY grp:0"), 1) << out;
	ASSERT_EQ(fstat(d.fd, &st), 0);
	EXPECT_EQ(st.st_nlink, 0u);
	EXPECT_EQ(access(img.path("y/.quillfold_donor.tmp").c_str(), F_OK), -1);
	close_donor(&d);

	EXPECT_EQ(sh_ok("cat '" + img.path("x/.quillfold_donor.tmp") + "'"), "mine\n");
	img.settle();
	EXPECT_EQ(free_blocks(img), free_before);
	EXPECT_EQ(sh("find '" + img.mnt() + "' -name .quillfold_donor.tmp | wc -l").out, "1\n");
}

namespace {

// Ends the process right after a donor file was made, as a kill would.
int openat_killed_after_donor(int dir_fd, const char *name, int flags, mode_t mode)
{
	int fd = qf_sys_default.openat(dir_fd, name, flags, mode);
	if (fd >= 0 && ((flags & O_TMPFILE) == O_TMPFILE || (flags & O_CREAT)))
		raise(SIGKILL);
	return fd;
}

} // namespace

// A run killed the moment its first donor exists leaves no name behind, so the
// next run can make its donors in that same directory: here the only one the
// group has cached when its files are defragmented.
TEST_F(Donors, ARunKilledAtItsFirstDonorLeavesNoNameAndTheNextUsesTheDirectory)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096");
	ASSERT_TRUE(img.ok());
	sh_ok("rmdir '" + img.path("lost+found") + "' && mkdir '" + img.path("d") + "'");
	interleave_allocations(img);
	write_interleaved({img.path("d/f0"), img.path("d/f1")}, 32, 1, 4096, 31);
	sh_ok("echo 16 > /sys/fs/ext4/" + img.device().substr(img.device().rfind('/') + 1) +
	      "/mb_stream_req");
	img.settle();
	ASSERT_GE(fragments(filefrag(img.path("d/f0"))), 8u);
	auto sums = checksums(img);

	std::string dev = img.device(), mnt = img.mnt();
	const char *argv[] = {"quillfold", dev.c_str(), mnt.c_str(), nullptr};
	EXPECT_EXIT(
		{
			qf_sys.openat = openat_killed_after_donor;
			quillfold_main(3, (char **)argv);
		},
		::testing::KilledBySignal(SIGKILL), "");
	EXPECT_EQ(leftover_donors(img), "");

	CmdResult r = run({QUILLFOLD_BIN, "-v", dev, mnt});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(count_lines(r.out, "do_iaf_defrag_one SUCCESS"), 2) << r.out;
	EXPECT_EQ(leftover_donors(img), "");
	EXPECT_EQ(checksums(img), sums);
}

TEST_F(Donors, RefusedDonorsGiveEverythingBackAndTheSearchWrapsAround)
{
	REQUIRE_ROOT();
	// 8 groups of 16 MiB
	LoopImage img(128, "-b 4096 -g 4096");
	ASSERT_TRUE(img.ok());
	SetUpCtx mc(img.device(), img.mnt());
	ASSERT_TRUE(mc.ok());
	ASSERT_EQ(group_slot_count(&mc.ctx), 8u);
	sh_ok("mkdir '" + img.path("x") + "'");
	for (uint32_t g = 0; g < 8; g++)
		ASSERT_EQ(group_info_init(mc.ctx.root_fhandle->handle_bytes, mc.ctx.groups, g), 1);
	cache(mc, img, ".");
	cache(mc, img, "x");
	img.settle();
	uint64_t free_before = free_blocks(img);

	// frag 0: no allocation can pass, each is made, judged and given back
	struct donor d;
	donor_init(&d);
	debug_flags = 0x01;
	testing::internal::CaptureStdout();
	int ret = prepare_donor(&mc.ctx, 6, &d, 64, 0, 0);
	std::string out = testing::internal::GetCapturedStdout();
	EXPECT_EQ(ret, -1);
	EXPECT_EQ(d.fd, -1);
	EXPECT_EQ(d.fec, nullptr);
	std::string order;
	for (size_t p = 0; (p = out.find("do_find_donor ENTER grp:", p)) != std::string::npos; p++)
		order += out.substr(p + 24, 1);
	EXPECT_EQ(order, "667012345") << out;
	EXPECT_NE(out.find("do_alloc_donor_space:1780 REJECT donor grp:0 donor_fd:"),
		  std::string::npos)
		<< out;

	// with force_local the wider search never runs
	testing::internal::CaptureStdout();
	EXPECT_EQ(prepare_donor(&mc.ctx, 6, &d, 64, 1, 0), -1);
	out = testing::internal::GetCapturedStdout();
	EXPECT_EQ(out.find("ENTER grp:7"), std::string::npos) << out;
	EXPECT_EQ(d.fd, -1);

	img.settle();
	EXPECT_EQ(free_blocks(img), free_before);
	EXPECT_EQ(leftover_donors(img), "");
}

TEST_F(Donors, ADonorOutsideItsGroupIsRefusedWhenLocalityIsAsked)
{
	REQUIRE_ROOT();
	LoopImage img(128, "-b 4096 -g 4096 -O ^flex_bg");
	ASSERT_TRUE(img.ok());
	SetUpCtx mc(img.device(), img.mnt());
	ASSERT_TRUE(mc.ok());
	cache(mc, img, ".");
	// the root directory lies in group 0; pretend it was cached for group 3
	ASSERT_NE(mc.ctx.groups[0], nullptr);
	mc.ctx.groups[3] = mc.ctx.groups[0];
	mc.ctx.groups[0] = nullptr;
	struct donor d;
	donor_init(&d);
	debug_flags = 0x02;
	testing::internal::CaptureStdout();
	EXPECT_EQ(do_find_donor(&mc.ctx, 3, &d, 8, 1, 1), -1);
	std::string out = testing::internal::GetCapturedStdout();
	EXPECT_EQ(out, "do_find_donor donor is from 0, want:3. skip\n");
	EXPECT_EQ(d.fd, -1);
	// without the locality test the same donor is taken
	EXPECT_EQ(do_find_donor(&mc.ctx, 3, &d, 8, 0, 1), 0);
	EXPECT_GE(d.fd, 0);
	close_donor(&d);
	EXPECT_EQ(leftover_donors(img), "");
}

// The command line against a mounted image: the checks of the device, the
// cluster size and the mount that only a real file system can answer.
#include <memory>
#include <string>
#include <unistd.h>
#include <gtest/gtest.h>
#include "golden.h"
#include "test_support.h"

using namespace testsupport;

namespace {

CmdResult qf(std::vector<std::string> args)
{
	args.insert(args.begin(), QUILLFOLD_BIN);
	return run(args);
}

// Root-only cases share one mounted image.
class MountedCommandLine : public ::testing::Test {
protected:
	static std::unique_ptr<LoopImage> img;
	static LoopImage &image()
	{
		if (!img)
			img.reset(new LoopImage(64, "-b 4096", "noatime"));
		return *img;
	}
	static void TearDownTestSuite() { img.reset(); }
};
std::unique_ptr<LoopImage> MountedCommandLine::img;

TEST_F(MountedCommandLine, DeviceMustBeTheOneMountedAtTheDirectory)
{
	REQUIRE_ROOT();
	LoopImage &im = image();
	ASSERT_TRUE(im.ok());
	TempDir other; // on another file system
	CmdResult r = qf({im.device(), other.path()});
	EXPECT_EQ(r.status, 1);
	EXPECT_GOLDEN(r.err, "quillfold-wrong-device.txt", {{"DEVICE", im.device()}});
	EXPECT_EQ(r.out, "");
}

TEST_F(MountedCommandLine, ClusterSizeAgainstTheBlockSize)
{
	REQUIRE_ROOT();
	LoopImage &im = image();
	ASSERT_TRUE(im.ok());
	CmdResult r = qf({"-c", "2048", im.device(), im.mnt()});
	EXPECT_EQ(r.status, 1);
	EXPECT_GOLDEN(r.err, "quillfold-cluster-below-block.txt");
	EXPECT_EQ(r.out, "");

	// one block is enough; a relocation cluster below a block falls back
	for (auto args : {std::vector<std::string>{"-c", "4096"}, {"-c", "4096", "-C", "1024"}}) {
		args.push_back("-n");
		args.push_back(im.device());
		args.push_back(im.mnt());
		r = qf(args);
		EXPECT_EQ(r.status, 0) << ::testing::PrintToString(args) << r.err;
	}
}

// A read-only bind mount of the image: the device is the one mounted there,
// but no donor can ever be written.
TEST_F(MountedCommandLine, ReadOnlyMountStopsTheRunUnlessItIsDry)
{
	REQUIRE_ROOT();
	LoopImage &im = image();
	ASSERT_TRUE(im.ok());
	TempDir ro;
	sh_ok("mount --bind '" + im.mnt() + "' '" + ro.path() + "' && mount -o remount,bind,ro '" +
	      ro.path() + "'");
	CmdResult r = qf({"-v", im.device(), ro.path()});
	CmdResult dry = qf({"-v", "-n", im.device(), ro.path()});
	sh_ok("umount '" + ro.path() + "'");
	EXPECT_EQ(r.status, 1);
	EXPECT_GOLDEN(r.err, "quillfold-read-only-mount.txt", {{"DIR", ro.path()}});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(dry.status, 0) << dry.err;
	EXPECT_NE(dry.out.find("Pass4: Process defrag list"), std::string::npos) << dry.out;
}

} // namespace

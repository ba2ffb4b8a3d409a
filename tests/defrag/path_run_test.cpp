// --path on real images: a named file among many is the only one moved, in
// both modes; a file larger than the free space is moved in ranges; paths
// that are not the run's are refused before anything moves.
#include <fcntl.h>
#include <unistd.h>
#include "inplace_fixture.h"
#include "tree_maps.h"

using namespace testsupport;
using namespace inplace;
using namespace treemaps;

namespace {

CmdResult qf(std::vector<std::string> args)
{
	args.insert(args.begin(), QUILLFOLD_BIN);
	return run(args);
}

unsigned pieces(const std::string &path)
{
	return fragments(filefrag(path));
}

} // namespace

TEST(PathRun, NamedFilesAloneAreMovedInBothModes)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096");
	ASSERT_TRUE(img.ok());
	interleave_allocations(img);
	std::vector<std::string> many;
	for (int i = 0; i < 12; i++)
		many.push_back(img.path("f" + std::to_string(i)));
	write_interleaved(many, 40, 3, 4096, 1);
	// pieces of 300 blocks: no run would touch it unless asked
	write_interleaved({img.path("long"), img.path("other")}, 600, 300, 4096, 2);
	sh_ok("mkdir '" + img.path("sub") + "'");
	write_interleaved({img.path("sub/a"), img.path("sub/b"), img.path("sub/c")}, 40, 4, 4096, 3);
	img.settle();
	auto sums = checksums(img);
	auto maps0 = tree_maps(img);
	unsigned long0 = pieces(img.path("long"));
	ASSERT_GE(long0, 2u);
	ASSERT_GT(maps0["./long"].size(), 0u);

	// a file and a directory, the default mode
	unsigned sub_a = pieces(img.path("sub/a"));
	CmdResult r = qf({"-v", "--path", img.path("long"), "--path", img.path("sub"), img.device(),
			  img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_LT(pieces(img.path("long")), long0) << r.out;
	EXPECT_LT(pieces(img.path("sub/a")), sub_a) << r.out;
	auto maps1 = tree_maps(img);
	for (const std::string &f : changed(maps0, maps1))
		EXPECT_TRUE(f == "./long" || f.rfind("./sub/", 0) == 0) << f << " moved";

	// a file, the space-aware mode (which moves a named file whatever that
	// costs the free space: here every move would add free extents)
	unsigned f3 = pieces(many[3]);
	r = qf({"-v", "--space-aware", "--path", many[3], img.device(), img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_LT(pieces(many[3]), f3) << r.out;
	EXPECT_EQ(changed(maps1, tree_maps(img)), std::vector<std::string>{"./f3"});

	EXPECT_EQ(checksums(img), sums);
	EXPECT_EQ(leftover_donors(img), "");
	std::string out;
	EXPECT_EQ(img.fsck(&out), 0) << out;
}

// A 600 MiB file in some 300 pieces with about 400 MiB free: no donor of its
// size can exist, but ranges of the largest free run each end in a piece or
// two, and each range's old blocks make room for the next.
TEST(PathRun, FileLargerThanTheFreeSpaceEndsInFewPieces)
{
	REQUIRE_ROOT();
	LoopImage img(1100, "-b 4096");
	ASSERT_TRUE(img.ok());
	interleave_allocations(img);
	{
		std::mt19937_64 rng(5);
		std::string big = random_bytes(rng, 3 << 20), small = random_bytes(rng, 64 << 10);
		int fb = open(img.path("big").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		int ff = open(img.path("filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		ASSERT_GE(fb, 0);
		ASSERT_GE(ff, 0);
		for (int i = 0; i < 200; i++) {
			ASSERT_EQ(write(fb, big.data(), big.size()), (ssize_t)big.size());
			fdatasync(fb);
			ASSERT_EQ(write(ff, small.data(), small.size()), (ssize_t)small.size());
			fdatasync(ff);
		}
		close(fb);
		close(ff);
	}
	unlink(img.path("filler").c_str());
	// the run's own allocations as on any mount
	std::string name = img.device().substr(img.device().rfind('/') + 1);
	sh_ok("echo 16 > /sys/fs/ext4/" + name + "/mb_stream_req");
	img.settle();
	unsigned before = pieces(img.path("big"));
	ASSERT_GE(before, 200u);
	uint64_t free_mib = free_blocks(img) * 4096 >> 20;
	ASSERT_GT(free_mib, 300u);
	ASSERT_LT(free_mib, 500u);
	std::string sum = file_sha256(img.path("big"));

	CmdResult r = qf({"-v", "--path", img.path("big"), img.device(), img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	unsigned after = pieces(img.path("big"));
	std::cout << "600 MiB file: " << before << " -> " << after << " pieces, " << free_mib
		  << " MiB free\n";
	EXPECT_LE(after, 12u) << r.out;
	EXPECT_EQ(file_sha256(img.path("big")), sum);
	EXPECT_EQ(leftover_donors(img), "");
	std::string out;
	EXPECT_EQ(img.fsck(&out), 0) << out;
	EXPECT_EQ(file_sha256(img.path("big")), sum);
}

TEST(PathRun, PathsThatAreNotTheRunsAreRefusedBeforeAnythingMoves)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096");
	ASSERT_TRUE(img.ok());
	interleave_allocations(img);
	write_interleaved({img.path("a"), img.path("b")}, 40, 2, 4096, 4);
	sh_ok("mkfifo '" + img.path("fifo") + "' && mkdir '" + img.path("d") + "' && ln -s d '" +
	      img.path("link") + "'");
	img.settle();
	TempDir elsewhere, view;
	sh_ok("touch '" + elsewhere.path() + "/x' && mount --bind '" + img.path("d") + "' '" +
	      view.path() + "'");
	auto maps0 = tree_maps(img);
	for (const std::string &p : {img.path("missing"), elsewhere.path() + "/x", img.path("fifo"),
				     view.path(), img.path("a") + "/"}) {
		CmdResult r = qf({"--path", img.path("a"), "--path", p, img.device(), img.mnt()});
		EXPECT_EQ(r.status, 1) << p;
		EXPECT_EQ(r.out, "") << p;
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
		EXPECT_EQ(r.err.rfind("quillfold: --path '" + p + "': ", 0), 0u) << r.err;
	}
	sh_ok("umount '" + view.path() + "'");
	EXPECT_TRUE(changed(maps0, tree_maps(img)).empty()) << "nothing moved";
	// a link is followed to what it names
	CmdResult r = qf({"-n", "--path", img.path("link"), img.device(), img.mnt()});
	EXPECT_EQ(r.status, 0) << r.err;
}

// What the kernel's extent move refuses, on real images: a file system
// without extents, files mapped block by block on one converted to extents,
// a data=journal mount and a file with the journal-data attribute. Each is
// found before a move is tried, said once, and counted.
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

std::vector<std::string> some_fragmented(LoopImage &img, const std::string &prefix, int n)
{
	std::vector<std::string> files;
	for (int i = 0; i < n; i++)
		files.push_back(img.path(prefix + std::to_string(i)));
	write_interleaved(files, 20, 2, 4096, 21);
	return files;
}

std::string line_with(const std::string &text, const std::string &head)
{
	size_t p = text.find(head);
	return p == std::string::npos ? "" : text.substr(p, text.find('\n', p) - p);
}

// Each mode stops at setup with one line naming the cause, status 1.
void expect_stopped_at_setup(LoopImage &img, std::initializer_list<const char *> modes,
			     const std::string &cause)
{
	for (const char *mode : modes) {
		CmdResult r = qf({mode, img.device(), img.mnt()});
		EXPECT_EQ(r.status, 1) << mode;
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
		EXPECT_NE(r.err.find(cause), std::string::npos) << r.err;
	}
}

} // namespace

TEST(Unmovable, BlockMappedFilesAreCountedSaidAndRefusedByName)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096 -O ^extent,^flex_bg,^64bit");
	ASSERT_TRUE(img.ok());
	interleave_allocations(img);
	auto old = some_fragmented(img, "old", 20);
	img.settle();
	auto maps0 = tree_maps(img);

	// no extents at all: a run that could move something stops at setup
	expect_stopped_at_setup(img, {"-v", "--space-aware"}, "no extents feature");
	// a dry run and an analysis look, and say why nothing could be moved
	CmdResult dry = qf({"-n", "-m", "--report", img.device(), img.mnt()});
	EXPECT_EQ(dry.status, 0) << dry.err;
	EXPECT_EQ(line_with(dry.out, "Files not movable:"),
		  "Files not movable:\t\t20 (20 mapped block by block, 0 with journalled data: the "
		  "kernel moves neither) ");
	EXPECT_NE(dry.out.find("\tfiles not movable:\t\t20 (20 mapped block by block"),
		  std::string::npos) << dry.out;
	CmdResult an = qf({"--analyze", img.device(), img.mnt()});
	EXPECT_NE(an.out.find("Verdict: a run cannot change anything: "), std::string::npos)
		<< an.out;

	// converted to extents: the old files are still mapped block by block
	img.unmount();
	sh_ok("tune2fs -O extent " + img.device());
	img.mount();
	auto fresh = some_fragmented(img, "new", 4);
	img.settle();
	auto sums = checksums(img);
	for (const char *mode : {"-v", "--space-aware"}) {
		CmdResult r = qf({mode, "-m", img.device(), img.mnt()});
		EXPECT_EQ(r.status, 0) << mode << r.err;
		EXPECT_NE(r.out.find("Files not movable:\t\t20 (20 mapped block by block"),
			  std::string::npos) << mode << r.out;
		EXPECT_EQ(r.err.find("EXT4_IOC_MOVE_EXT failed"), std::string::npos) << r.err;
	}
	EXPECT_EQ(fragments(filefrag(fresh[0])), 1u) << "the files with extents were moved";
	auto maps1 = tree_maps(img);
	for (auto &f : old)
		EXPECT_EQ(maps1["./" + f.substr(img.mnt().size() + 1)],
			  maps0["./" + f.substr(img.mnt().size() + 1)]);
	CmdResult named = qf({"--path", old[3], img.device(), img.mnt()});
	EXPECT_EQ(named.status, 1);
	EXPECT_EQ(named.err.rfind("quillfold: --path '" + old[3] + "': mapped block by block", 0),
		  0u) << named.err;
	EXPECT_EQ(checksums(img), sums);
	std::string out;
	EXPECT_EQ(img.fsck(&out), 0) << out;
}

TEST(Unmovable, DataJournalMountAndJournalDataFile)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096", "data=journal");
	ASSERT_TRUE(img.ok());
	interleave_allocations(img);
	auto files = some_fragmented(img, "f", 6);
	img.settle();
	auto maps0 = tree_maps(img);
	expect_stopped_at_setup(img, {"-v"}, "data=journal");
	EXPECT_EQ(qf({"-n", img.device(), img.mnt()}).status, 0);
	EXPECT_TRUE(changed(maps0, tree_maps(img)).empty());

	// mounted as usual, one file keeps the journal-data attribute (set on
	// the unmounted image: chattr needs a capability the tests may lack)
	img.unmount();
	LoopImage plain(64, "-b 4096");
	ASSERT_TRUE(plain.ok());
	interleave_allocations(plain);
	auto pf = some_fragmented(plain, "f", 6);
	plain.unmount();
	sh_ok("debugfs -w -R 'set_inode_field /f2 flags 0x84000' " + plain.device() + " 2>&1");
	plain.mount();
	ASSERT_NE(sh_ok("lsattr '" + pf[2] + "'").find('j'), std::string::npos);
	auto sums = checksums(plain);
	auto j0 = filefrag(pf[2]);
	CmdResult r = qf({"-v", "-m", plain.device(), plain.mnt()});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("Files not movable:\t\t1 (0 mapped block by block, 1 with journalled"),
		  std::string::npos) << r.out;
	EXPECT_EQ(fragments(filefrag(pf[2])), fragments(j0));
	EXPECT_EQ(fragments(filefrag(pf[1])), 1u);
	r = qf({"--path", pf[2], plain.device(), plain.mnt()});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("journal-data attribute"), std::string::npos) << r.err;
	EXPECT_EQ(checksums(plain), sums);
	std::string out;
	EXPECT_EQ(plain.fsck(&out), 0) << out;
}

// With blocks allocated in clusters the kernel refuses every extent move, so
// a run stops at setup instead of trying each file and reporting success.
TEST(Unmovable, BigallocStopsARunAtSetup)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096 -O bigalloc -C 65536");
	ASSERT_TRUE(img.ok());
	auto files = some_fragmented(img, "f", 4);
	img.settle();
	auto maps0 = tree_maps(img);
	expect_stopped_at_setup(img, {"-v", "--space-aware"}, "(bigalloc)");
	EXPECT_EQ(qf({"-n", img.device(), img.mnt()}).status, 0);
	CmdResult an = qf({"--analyze", img.device(), img.mnt()});
	EXPECT_EQ(an.status, 0) << an.err;
	EXPECT_NE(an.out.find("Verdict: a run cannot change anything: it allocates blocks in "
			      "clusters"),
		  std::string::npos) << an.out;
	EXPECT_TRUE(changed(maps0, tree_maps(img)).empty());
	std::string out;
	EXPECT_EQ(img.fsck(&out), 0) << out;
}

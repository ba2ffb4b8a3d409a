// --report and --space-aware on real images: the report's figures are those
// e2freefrag and filefrag give, and the space-aware mode leaves an aged file
// system with every byte in place, its files less fragmented and its free
// space better.
#include <sstream>
#include "inplace_fixture.h"
#include "saved_settings.h"
#include "setup_ctx.h"
#include "space_aware.h"
#include "space_plan.h"

using namespace testsupport;
using namespace inplace;

namespace {

struct Figures {
	long long files = -1, fragmented = -1, fragments = -1, free_blocks = -1, free_extents = -1,
		  largest_kib = -1;
	double big_pct = -1;
};

// The block of lines that follows "Report <when>" in quillfold's output.
Figures report_block(const std::string &out, const std::string &when)
{
	Figures f;
	size_t at = out.find("Report " + when);
	if (at == std::string::npos)
		return f;
	std::istringstream in(out.substr(at));
	std::string line;
	std::getline(in, line);
	while (std::getline(in, line) && !line.empty() && line[0] == '\t') {
		size_t colon = line.find(':');
		std::string key = line.substr(1, colon - 1);
		std::string val = line.substr(colon + 1);
		if (key == "files")
			f.files = atoll(val.c_str());
		else if (key == "fragmented files")
			f.fragmented = atoll(val.c_str());
		else if (key == "file fragments")
			f.fragments = atoll(val.c_str());
		else if (key == "free blocks")
			f.free_blocks = atoll(val.c_str());
		else if (key == "free extents")
			f.free_extents = atoll(val.c_str());
		else if (key == "largest free extent")
			f.largest_kib = atoll(val.c_str());
		else if (key.rfind("free space in chunks", 0) == 0)
			f.big_pct = atof(val.c_str());
	}
	return f;
}

} // namespace

TEST(Report, AgreesWithE2freefragAndFilefrag)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096");
	ASSERT_TRUE(img.ok());
	interleave_allocations(img);
	std::vector<std::string> files;
	for (int i = 0; i < 12; i++)
		files.push_back(img.path("f" + std::to_string(i)));
	write_interleaved(files, 40, 3, 4096, 7);
	// holes of every size between what stays
	for (int i = 0; i < 12; i += 3)
		unlink(files[i].c_str());
	write_interleaved({img.path("big")}, 600, 600, 4096, 8);
	img.settle();

	// a dry run changes no file; the block "after" is the picture it leaves
	CmdResult r = run({QUILLFOLD_BIN, "-n", "--report", img.device(), img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	Figures f = report_block(r.out, "after");
	img.settle();

	long long nfiles = 0, fragmented = 0, fragments = 0;
	CmdResult list = sh("find '" + img.mnt() + "' -type f -size +0");
	std::istringstream in(list.out);
	std::string path;
	while (std::getline(in, path)) {
		unsigned n = testsupport::fragments(filefrag(path));
		nfiles++;
		fragments += n;
		fragmented += n > 1;
	}
	EXPECT_EQ(f.files, nfiles);
	EXPECT_EQ(f.fragmented, fragmented);
	EXPECT_EQ(f.fragments, fragments);
	EXPECT_GT(fragmented, 0);

	std::string ff = sh_ok("e2freefrag " + img.device());
	auto num = [&](const std::string &label) {
		size_t p = ff.find(label);
		return p == std::string::npos ? -2LL : atoll(ff.c_str() + p + label.size());
	};
	EXPECT_EQ(f.free_blocks, num("Free blocks:"));
	EXPECT_EQ(f.free_extents, num("Num. free extent:"));
	EXPECT_EQ(f.largest_kib, num("Max. free extent:"));
	// the histogram's percentages of the buckets from 1M up
	double big = 0;
	std::istringstream hist(ff);
	std::string line;
	while (std::getline(hist, line)) {
		char unit;
		unsigned lo;
		unsigned long long n, blocks;
		double pct;
		if (sscanf(line.c_str(), " %u%c... %*s : %llu %llu %lf", &lo, &unit, &n, &blocks,
			   &pct) == 5 &&
		    (unit == 'M' || unit == 'G' || unit == 'T'))
			big += pct;
	}
	EXPECT_NEAR(f.big_pct, big, 0.05) << ff;
	EXPECT_GT(f.free_extents, 1);
}

TEST(SpaceAware, AgedImageKeepsEveryByteAndEndsLessFragmentedWithFewerFreeExtents)
{
	REQUIRE_ROOT();
	LoopImage img(256, "-b 4096");
	ASSERT_TRUE(img.ok());
	sh_ok(std::string("python3 ") + AGE_FS_SCRIPT + " '" + img.path("data") +
	      "' --fill 0.5 --seed 1");
	img.settle();
	auto before = checksums(img);

	// windows of less than 4 blocks cannot be counted in: refused, nothing moved
	CmdResult tiny = run({QUILLFOLD_BIN, "--space-aware", "-c", "4096", img.device(), img.mnt()});
	EXPECT_EQ(tiny.status, 1);
	EXPECT_NE(tiny.err.find("at least 4 blocks"), std::string::npos) << tiny.err;

	CmdResult r = run({QUILLFOLD_BIN, "-v", "--space-aware", "--report", img.device(), img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	Figures b = report_block(r.out, "before"), a = report_block(r.out, "after");
	std::cout << "fragments " << b.fragments << " -> " << a.fragments << ", free extents "
		  << b.free_extents << " -> " << a.free_extents << ", free in chunks >= 1 MiB "
		  << b.big_pct << " % -> " << a.big_pct << " %\n";
	EXPECT_EQ(a.files, b.files);
	EXPECT_LT(a.fragments, b.fragments);
	// the mode accounts every move against the free space it found: it
	// ends with fewer free extents and no smaller share in large runs
	EXPECT_LT(a.free_extents, b.free_extents);
	EXPECT_GE(a.big_pct, b.big_pct);

	EXPECT_EQ(checksums(img), before);
	EXPECT_EQ(leftover_donors(img), "");
	img.settle();
	std::string out;
	EXPECT_EQ(img.fsck(&out), 0) << out;
	EXPECT_EQ(checksums(img), before);
}

// Files written side by side by concurrent writers: each file's pieces lie
// between the others', so no move alone could keep the free space as it
// was; moved as units, they end in one piece each and free their region as
// one run. Also with blocks smaller than a page, where files that share a
// donor must each start on a page boundary or the kernel refuses the move.
TEST(SpaceAware, InterleavedWritersEndInOnePieceAndTheirRegionFreesWhole)
{
	REQUIRE_ROOT();
	// with smaller blocks the layout the writers leave varies more from run
	// to run, and some regions keep a file that no unit can take
	struct {
		int mib;
		const char *mkfs, *fill;
		unsigned left_part; // at most this part of the fragmented files stays so
	} rows[] = {{256, "-b 4096", "0.6", 20}, {192, "-b 2048", "0.4", 2}};
	for (auto [mib, mkfs, fill, left_part] : rows) {
		SCOPED_TRACE(mkfs);
		LoopImage img(mib, mkfs);
		ASSERT_TRUE(img.ok());
		sh_ok(std::string("python3 ") + AGE_FS_SCRIPT + " '" + img.path("data") +
		      "' --pattern interleaved --writers 8 --chunk-kib 32 --fill " + fill +
		      " --seed 3");
		img.settle();
		auto before = checksums(img);

		CmdResult r = run({QUILLFOLD_BIN, "-v", "-m", "--space-aware", "--report",
				   img.device(), img.mnt()});
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err.find("EXT4_IOC_MOVE_EXT failed"), std::string::npos) << r.err;
		Figures b = report_block(r.out, "before"), a = report_block(r.out, "after");
		std::cout << mkfs << ": fragmented files " << b.fragmented << " -> " << a.fragmented
			  << ", free extents " << b.free_extents << " -> " << a.free_extents
			  << ", free in chunks >= 1 MiB " << b.big_pct << " % -> " << a.big_pct
			  << " %\n";
		EXPECT_GT(b.fragmented, b.files / 2);
		EXPECT_LE(a.fragmented, b.fragmented / left_part);
		EXPECT_LE(a.free_extents, b.free_extents);
		EXPECT_GE(a.big_pct, b.big_pct);
		EXPECT_NE(r.out.find("Blocks moved:"), std::string::npos);
		EXPECT_EQ(checksums(img), before);
		EXPECT_EQ(leftover_donors(img), "");
		img.settle();
		std::string out;
		EXPECT_EQ(img.fsck(&out), 0) << out;
	}
}

TEST(SpaceAware, ATreeLargerThanABatchIsMovedBatchByBatch)
{
	REQUIRE_ROOT();
	LoopImage img(128, "-b 4096");
	ASSERT_TRUE(img.ok());
	sh_ok(std::string("python3 ") + AGE_FS_SCRIPT + " '" + img.path("data") +
	      "' --fill 0.5 --seed 4");
	img.settle();
	auto before = checksums(img);
	auto fragmented = [&]() {
		unsigned n = 0;
		for (auto &c : before)
			n += fragments(filefrag(img.mnt() + "/" + c.first)) > 1;
		return n;
	};
	unsigned frag_before = fragmented();

	SavedSettings saved;
	sa_batch_limit = 8 << 10; // a hundred files a batch or so
	{
		SetUpCtx s(img.device(), img.mnt(), {"--space-aware"});
		ASSERT_TRUE(s.ok());
		testing::internal::CaptureStdout();
		verbose = 1;
		int ret = space_aware_passes(&s.ctx);
		std::string out = testing::internal::GetCapturedStdout();
		EXPECT_EQ(ret, 0) << out;
		EXPECT_NE(out.find("batches"), std::string::npos) << out;
	}
	unsigned frag_after = fragmented();
	EXPECT_LT(frag_after, frag_before);
	EXPECT_EQ(checksums(img), before);
	EXPECT_EQ(leftover_donors(img), "");
	img.settle();
	std::string out;
	EXPECT_EQ(img.fsck(&out), 0) << out;
}

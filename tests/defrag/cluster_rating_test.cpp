// Pass3_prep on hand-built trees: flags from Pass2's counters, window rating
// with its tie-breaks, and the verbose and debug lines.
#include <deque>
#include "scan_helpers.h"

using namespace scantest;

namespace {

struct Rating : SettingsTest {
	std::deque<spextent> pool; // stable addresses
	FakeFs ffs{32768, 8192};
	defrag_context ctx{};
	void SetUp() override
	{
		reset_run_state();
		ctx.fs = &ffs.fs;
		ctx.cluster_blocks = 256;
		ctx.scale = 2;
		ctx.quality = 700;
	}
	// A run; ex_count > ro + old makes it "not good"
	spextent *add(uint64_t start, uint32_t len, uint16_t ex = 0, uint16_t ro = 0,
		      uint16_t old = 0)
	{
		pool.emplace_back();
		spextent *e = &pool.back();
		memset(e, 0, sizeof(*e));
		e->start = start;
		e->len = len;
		e->ex_count = ex;
		e->ro_count = ro;
		e->old_count = old;
		insert_spextent(&ctx.spextents, e);
		return e;
	}
	std::string run(bool verbose_on = true, uint32_t dbg = 0)
	{
		verbose = verbose_on;
		debug_flags = dbg;
		testing::internal::CaptureStdout();
		pass3_prep(&ctx);
		return testing::internal::GetCapturedStdout();
	}
	static std::string summary(unsigned long long b, unsigned long long e,
				   unsigned long long c)
	{
		return "Pass3_prep " + std::to_string(b) + " blocks of " + std::to_string(e) +
		       " extents from " + std::to_string(c) + " clusters may be relocated\n";
	}
};

// The dump line of a record as it read with the given flags.
std::string spex_line(const char *prefix, const spextent *ex, int flags = -1)
{
	char buf[256];
	if (flags < 0)
		flags = (int)ex->flags;
	snprintf(buf, sizeof(buf),
		 "%s ex:%p ->[%llu, %u] ex:%d d:%d ro:%d old:%d fnd:%d iaf:%d flags:%x\n", prefix,
		 (const void *)ex, (unsigned long long)ex->start, ex->len, ex->ex_count,
		 ex->dir_count, ex->ro_count, ex->old_count, ex->fnd_blocks, ex->iaf_count,
		 (unsigned)flags);
	return buf;
}

std::string cluster_line(long long key, long long end, long grp, int count, int used, int good,
			 int ief)
{
	char buf[256];
	snprintf(buf, sizeof(buf),
		 "Cluster %lld %lld] group:%ld stats {count:%d used:%d good:%d ief:%d}\n", key, end,
		 grp, count, used, good, ief);
	return buf;
}

TEST_F(Rating, SparseReadOnlyWindowIsMarkedWithItsTrace)
{
	spextent *a = add(256, 10), *b = add(300, 20), *c = add(400, 30), *d = add(600, 5);
	std::string out = run(true, 0x08);
	for (auto *e : {a, b, c})
		EXPECT_EQ(e->flags, (uint32_t)(SP_FL_RO_OLD | SP_FL_IEF_RELOC));
	EXPECT_EQ(d->flags, (uint32_t)SP_FL_RO_OLD) << "the last window is never rated";

	// the trace, in order: the start line, each extent as it is met, each
	// window's line and marks after the first extent of the next window,
	// the summary, then the whole tree
	std::string want = "Pass3_prep:  Scan and rate cached extents\n";
	want += spex_line("\t\t\t", a, SP_FL_RO_OLD);
	want += cluster_line(0, 256, 0, 0, 0, 0, 0);
	want += spex_line("\t\t\t", b, SP_FL_RO_OLD) + spex_line("\t\t\t", c, SP_FL_RO_OLD) +
		spex_line("\t\t\t", d);
	for (auto *e : {a, b, c})
		want += spex_line("\t\t\t->IEF", e);
	want += cluster_line(256, 512, 0, 3, 60, 3, 1);
	want += summary(60, 3, 1);
	want += "\t\t\t=================================\n";
	for (auto *e : {a, b, c, d})
		want += spex_line("\t\t\t", e);
	want += "\t\t\t=================================\n";
	EXPECT_EQ(out, want);
}

TEST_F(Rating, DensityBoundary)
{
	// used 129: 2 x 129 = 258 > 256
	add(256, 43);
	add(300, 43);
	add(350, 43);
	add(600, 5);
	EXPECT_EQ(run(), "Pass3_prep:  Scan and rate cached extents\n" + summary(0, 0, 0));

	// used 128 passes (equality)
	pool.clear();
	ctx.spextents.rb_node = nullptr;
	add(256, 43);
	add(300, 43);
	add(350, 42);
	add(600, 5);
	EXPECT_EQ(run(), "Pass3_prep:  Scan and rate cached extents\n" + summary(128, 3, 1));
}

TEST_F(Rating, QualityBoundary)
{
	// ten extents, seven good: 7000 >= 7000
	for (int i = 0; i < 10; i++)
		add(256 + i * 10, 1, 1, i < 7 ? 1 : 0, 0);
	add(600, 1);
	EXPECT_EQ(run(false), "");
	for (auto &e : pool) {
		if (e.start < 512) {
			EXPECT_TRUE(e.flags & SP_FL_IEF_RELOC) << e.start;
		}
	}

	// six good: 6000 < 7000
	pool.clear();
	ctx.spextents.rb_node = nullptr;
	for (int i = 0; i < 10; i++)
		add(256 + i * 10, 1, 1, 0, i < 6 ? 1 : 0);
	add(600, 1);
	run(false);
	for (auto &e : pool)
		EXPECT_FALSE(e.flags & SP_FL_IEF_RELOC) << e.start;
}

TEST_F(Rating, FlagsFromCounters)
{
	spextent *empty = add(1000, 4);
	spextent *full = add(2000, 4, 2, 1, 1);
	full->fnd_blocks = 4;
	spextent *mixed = add(3000, 4, 3, 1, 1);
	mixed->fnd_blocks = 3;
	// 16-bit counters added in 32 bits: 0xffff + 1 is not 0
	spextent *wrap = add(4000, 4, 0, 0xffff, 1);
	run(false);
	EXPECT_EQ(empty->flags & (SP_FL_RO_OLD | SP_FL_FULL), (uint32_t)SP_FL_RO_OLD);
	EXPECT_EQ(full->flags & (SP_FL_RO_OLD | SP_FL_FULL), (uint32_t)(SP_FL_RO_OLD | SP_FL_FULL));
	EXPECT_EQ(mixed->flags & (SP_FL_RO_OLD | SP_FL_FULL), 0u);
	EXPECT_EQ(wrap->flags & SP_FL_RO_OLD, 0u);
}

TEST_F(Rating, WindowKeyFromTheBlockPastTheExtent)
{
	// [250, +6) ends at 256: it opens window 256, which can then be rated
	spextent *e = add(250, 6);
	add(700, 1);
	std::string out = run(true, 0x08);
	EXPECT_TRUE(e->flags & SP_FL_IEF_RELOC);
	EXPECT_NE(out.find(cluster_line(256, 512, 0, 1, 6, 1, 1)), std::string::npos) << out;

	// [250, +5) ends at 255: window 0, never rated
	pool.clear();
	ctx.spextents.rb_node = nullptr;
	e = add(250, 5);
	add(700, 1);
	out = run(true, 0x08);
	EXPECT_FALSE(e->flags & SP_FL_IEF_RELOC);
	EXPECT_NE(out.find(cluster_line(0, 256, 0, 1, 5, 1, 0)), std::string::npos) << out;
	EXPECT_NE(out.find(summary(0, 0, 0)), std::string::npos);
}

TEST_F(Rating, ScaleAndQualityZeroStillSkipFirstAndLastWindows)
{
	ctx.scale = 0;
	ctx.quality = 0;
	spextent *w0 = add(10, 200, 1);           // window 0
	spextent *full = add(300, 200, 5);        // window 256, dense and never good
	spextent *far = add(70000, 40, 1);        // window 69888
	spextent *last = add(90000, 1, 1);        // last window
	EXPECT_EQ(run(), "Pass3_prep:  Scan and rate cached extents\n" + summary(240, 2, 2));
	EXPECT_FALSE(w0->flags & SP_FL_IEF_RELOC);
	EXPECT_TRUE(full->flags & SP_FL_IEF_RELOC);
	EXPECT_TRUE(far->flags & SP_FL_IEF_RELOC);
	EXPECT_FALSE(last->flags & SP_FL_IEF_RELOC);
}

TEST_F(Rating, LongExtentCountsOnlyInItsEndWindowAndProductsWrap)
{
	// 300 blocks from 200: key 500 & ~255 = 256; 2 x 300 > 256
	spextent *longe = add(200, 300);
	add(5000, 1);
	run(false);
	EXPECT_FALSE(longe->flags & SP_FL_IEF_RELOC);
	// a scale whose product with used wraps to 0 passes the density test
	pool.clear();
	ctx.spextents.rb_node = nullptr;
	ctx.scale = 0x80000000u;
	longe = add(200, 300);
	add(5000, 1);
	run(false);
	EXPECT_TRUE(longe->flags & SP_FL_IEF_RELOC);
}

TEST_F(Rating, IgnoredExtentIsNotGood)
{
	spextent *a = add(256, 1);
	a->flags = SP_FL_IGNORE;
	add(600, 1);
	ctx.quality = 1000;
	run(false);
	EXPECT_FALSE(a->flags & SP_FL_IEF_RELOC);
}

TEST_F(Rating, SingleExtentAndEmptyTree)
{
	EXPECT_EQ(run(), "Pass3_prep:  Scan and rate cached extents\n" + summary(0, 0, 0));
	spextent *only = add(256, 10);
	EXPECT_EQ(run(), "Pass3_prep:  Scan and rate cached extents\n" + summary(0, 0, 0));
	EXPECT_EQ(only->flags, (uint32_t)SP_FL_RO_OLD);
}

TEST_F(Rating, FlexGroupInClusterLine)
{
	ctx.flex_log = 4;
	ctx.cluster_blocks = 32768;
	add(17ull * 32768 + 10, 5);
	add(40ull * 32768, 5);
	std::string out = run(false, 0x08);
	EXPECT_NE(out.find(cluster_line(17ll * 32768, 18ll * 32768, 1, 1, 5, 1, 1)),
		  std::string::npos)
		<< out;
}

} // namespace

// The space-extent tree: ordered inserts, lookups at run edges, the always-on
// consistency checks and their fatal reports.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <gtest/gtest.h>
#include "quillfold.h"

namespace {

// Records live in static storage: the death tests end in exit(1), and the
// records must stay reachable then, as the tree's records do in a real run.
spextent g_pool[256];
unsigned g_used;
rb_root g_root;

spextent *mk(uint64_t start, uint32_t len)
{
	spextent *ex = &g_pool[g_used++];
	memset(ex, 0, sizeof(*ex));
	ex->start = start;
	ex->len = len;
	return ex;
}

spextent *add(uint64_t start, uint32_t len)
{
	spextent *ex = mk(start, len);
	insert_spextent(&g_root, ex);
	return ex;
}

std::string spex_line(const char *prefix, const spextent *ex)
{
	char buf[256];
	snprintf(buf, sizeof(buf), "%s ex:%p ->[%llu, %u] ex:%d d:%d ro:%d old:%d fnd:%d iaf:%d flags:%x\n",
		 prefix, (const void *)ex, (unsigned long long)ex->start, ex->len, ex->ex_count,
		 ex->dir_count, ex->ro_count, ex->old_count, ex->fnd_blocks, ex->iaf_count,
		 ex->flags);
	return buf;
}

const std::string sep = "\t\t\t=================================\n";

std::string dump_of(std::initializer_list<const spextent *> exs)
{
	std::string s = sep;
	for (auto *e : exs)
		s += spex_line("\t\t\t", e);
	return s + sep;
}

std::string read_file(const std::string &p)
{
	std::ifstream f(p);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

// Runs the statement in a death test with stdout and stderr sent to one file
// (stderr unbuffered first, then stdout when exit() flushes it), so the
// parent can compare the whole report exactly.
#define EXPECT_FATAL_OUTPUT(stmt, outfile)                                                \
	EXPECT_EXIT(                                                                      \
		{                                                                         \
			fflush(stdout);                                                   \
			int fd = open((outfile).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600); \
			dup2(fd, 1);                                                      \
			dup2(fd, 2);                                                      \
			stmt;                                                             \
		},                                                                        \
		::testing::ExitedWithCode(1), "")

class SpextentTree : public ::testing::Test {
protected:
	void SetUp() override
	{
		g_used = 0;
		g_root.rb_node = nullptr;
		char tmpl[] = "/tmp/qf_tree_XXXXXX";
		int fd = mkstemp(tmpl);
		close(fd);
		out_ = tmpl;
	}
	void TearDown() override { unlink(out_.c_str()); }
	std::string out_;
};

TEST_F(SpextentTree, SearchFindsRunsAtTheirEdgesOnly)
{
	// inserted out of order; two touching runs at 200
	add(100, 50);
	add(300, 10);
	spextent *b = add(200, 100);
	spextent *a = g_pool;
	spextent *c = &g_pool[1];

	EXPECT_EQ(search_spextent(&g_root, 0), nullptr);
	EXPECT_EQ(search_spextent(&g_root, 99), nullptr);
	EXPECT_EQ(search_spextent(&g_root, 100), a);
	EXPECT_EQ(search_spextent(&g_root, 149), a);
	EXPECT_EQ(search_spextent(&g_root, 150), nullptr) << "between two runs";
	EXPECT_EQ(search_spextent(&g_root, 199), nullptr);
	EXPECT_EQ(search_spextent(&g_root, 200), b);
	EXPECT_EQ(search_spextent(&g_root, 299), b);
	EXPECT_EQ(search_spextent(&g_root, 300), c) << "the next run touches";
	EXPECT_EQ(search_spextent(&g_root, 309), c);
	EXPECT_EQ(search_spextent(&g_root, 310), nullptr) << "past the last run";
	EXPECT_EQ(search_spextent(&g_root, UINT64_MAX), nullptr);

	// touching runs stay two records and pass the whole-tree check
	check_tree_range(rb_entry_of<spextent>(ext2fs_rb_first(&g_root)), nullptr, "pass1:");
	testing::internal::CaptureStdout();
	print_tree(&g_root);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), dump_of({a, b, c}));
}

TEST_F(SpextentTree, ManyRunsStayOrderedAndFindable)
{
	// enough records for real rebalancing, in a scrambled insert order
	const unsigned n = 200;
	for (unsigned i = 0; i < n; i++) {
		unsigned k = (i * 37) % n;
		add(1000 + (uint64_t)k * 8, 1 + k % 7);
	}
	unsigned seen = 0;
	uint64_t prev_end = 0;
	for (rb_node *nd = ext2fs_rb_first(&g_root); nd; nd = ext2fs_rb_next(nd)) {
		spextent *ex = rb_entry_of<spextent>(nd);
		EXPECT_GE(ex->start, prev_end);
		prev_end = ex->start + ex->len;
		seen++;
	}
	EXPECT_EQ(seen, n);
	for (unsigned k = 0; k < n; k++) {
		uint64_t s = 1000 + (uint64_t)k * 8;
		spextent *ex = search_spextent(&g_root, s + k % 7);
		ASSERT_NE(ex, nullptr) << k;
		EXPECT_EQ(ex->start, s);
		EXPECT_EQ(search_spextent(&g_root, s + 1 + k % 7), nullptr) << k;
	}
}

TEST_F(SpextentTree, EmptyTreeDumpsSeparatorsAndPassesTheCheck)
{
	check_tree_range(nullptr, nullptr, "pass1:");
	EXPECT_EQ(search_spextent(&g_root, 5), nullptr);
	testing::internal::CaptureStdout();
	print_tree(&g_root);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), sep + sep);
}

TEST_F(SpextentTree, DumpShowsCountersInTheirOrderAndTheyWrapAt16Bits)
{
	spextent *ex = add(7, 65535);
	for (unsigned i = 0; i < 65536; i++)
		ex->ex_count++;
	EXPECT_EQ(ex->ex_count, 0) << "65536 extents in one run read as none";
	ex->ex_count = 1;
	ex->dir_count = 2;
	ex->ro_count = 3;
	ex->old_count = 4;
	ex->iaf_count = 5;
	ex->fnd_blocks = (uint16_t)(65536 + 6); // the low 16 bits of a length
	ex->flags = 0x2a;
	testing::internal::CaptureStdout();
	print_spex("P", ex);
	char want[200];
	snprintf(want, sizeof(want),
		 "P ex:%p ->[7, 65535] ex:1 d:2 ro:3 old:4 fnd:6 iaf:5 flags:2a\n", (void *)ex);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), want);
}

TEST_F(SpextentTree, RangeDumpStopsAfterTheLastRecord)
{
	spextent *a = add(10, 5);
	spextent *b = add(20, 5);
	add(30, 5);
	testing::internal::CaptureStdout();
	print_tree_range(a, b);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), dump_of({a, b}));
}

TEST_F(SpextentTree, CollisionIsFatalWithTheNewRunFirstAndTheWholeTree)
{
	spextent *a = add(100, 50);
	spextent *b = add(200, 10);
	EXPECT_FATAL_OUTPUT(add(120, 100), out_);
	EXPECT_EQ(read_file(out_),
		  "Collision want insert:[120,100], exist [100, 50]\n" + dump_of({a, b}));
	// the same start is a collision too
	EXPECT_FATAL_OUTPUT(add(200, 1), out_);
	EXPECT_EQ(read_file(out_),
		  "Collision want insert:[200,1], exist [200, 10]\n" + dump_of({a, b}));
}

TEST_F(SpextentTree, RunReachingIntoTheNextIsAnOverlap)
{
	spextent *a = add(10, 5);
	spextent *b = add(100, 50);
	spextent *c = add(300, 5);
	// starts in the gap before b and ends inside it: passes the descent
	spextent *n = mk(90, 20);
	EXPECT_FATAL_OUTPUT(insert_spextent(&g_root, n), out_);
	EXPECT_EQ(read_file(out_), "Tree Error: extent overlap\n"
				   "extent: 90 -> 110 (20)\n"
				   "extent next: 100 -> 150 (50)\n"
				   "insert_spextent\n" +
					   dump_of({a, n, b}));
	(void)c;
}

TEST_F(SpextentTree, SingleRecordErrorsNameTheRecordAndTheCaller)
{
	spextent *a = add(10, 5);
	spextent *z = add(20, 5);
	spextent *c = add(30, 5);
	z->len = 0; // corrupted after the insert; a search on a neighbour sees it
	EXPECT_FATAL_OUTPUT(search_spextent(&g_root, 12), out_);
	EXPECT_EQ(read_file(out_), "Tree Error: count is zero\n"
				   "extent: 20 -> 20 (0)\n"
				   "search_spextent\n" +
					   dump_of({a, z}));

	z->len = 5;
	c->start = UINT64_MAX - 2;
	EXPECT_FATAL_OUTPUT(check_tree_range(a, nullptr, "pass1:"), out_);
	char want[200];
	snprintf(want, sizeof(want), "Tree Error: start or count is crazy\nextent: %llu -> 2 (5)\n",
		 (unsigned long long)(UINT64_MAX - 2));
	EXPECT_EQ(read_file(out_), want + std::string("pass1:\n") + dump_of({a, z, c}));
}

TEST_F(SpextentTree, OutOfOrderRecordsAreCrazyStarts)
{
	spextent *a = add(10, 5);
	spextent *b = add(20, 5);
	b->start = 5; // the tree order no longer matches the keys
	EXPECT_FATAL_OUTPUT(check_tree_range(a, nullptr, "pass3_prep"), out_);
	EXPECT_EQ(read_file(out_), "Tree Error: start is crazy\n"
				   "extent: 10 -> 15 (5)\n"
				   "extent next: 5 -> 10 (5)\n"
				   "pass3_prep\n" +
					   dump_of({a, b}));
}

} // namespace

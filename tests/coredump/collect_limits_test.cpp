// The collector's limits as plain decisions: the sizes and rates its options
// take, which old crashes make room for a new one, and how a crash loop is
// counted.
#include "collect_limits.h"

#include <gtest/gtest.h>

using Skelvane::RateLimit;
using Skelvane::SizeLimit;

TEST(CollectLimits, SizesAndRatesAsGiven)
{
	struct Size {
		const char *text;
		bool ok, percent;
		unsigned long long amount;
	} sizes[] = {
		{"0", true, false, 0},           {"123", true, false, 123},       {"512K", true, false, 512ull << 10},
		{"512kib", true, false, 512ull << 10}, {"512KB", true, false, 512ull << 10}, {"1G", true, false, 1ull << 30},
		{"2T", true, false, 2ull << 40}, {"15%", true, true, 15},         {"100%", true, true, 100},
		{"101%", false, false, 0},                 {"1.5G", false, false, 0},                 {"-1", false, false, 0},
		{"", false, false, 0},                     {"G", false, false, 0},                    {"15 %", false, false, 0},
		{"1Q", false, false, 0},                   {"16E", false, false, 0},                  {"99999999999999999999", false, false, 0},
	};
	for (auto &s : sizes) {
		SizeLimit l;
		EXPECT_EQ(Skelvane::parseSizeLimit(s.text, l), s.ok) << s.text;
		if (s.ok) {
			EXPECT_EQ(l.percent, s.percent) << s.text;
			EXPECT_EQ(l.amount, s.amount) << s.text;
		}
	}
	EXPECT_EQ((SizeLimit{true, 15}).bytesOf(1000), 150u);
	EXPECT_EQ((SizeLimit{true, 15}).bytesOf(1ull << 62), (1ull << 62) / 100 * 15 + (1ull << 62) % 100 * 15 / 100);
	EXPECT_EQ((SizeLimit{false, 7}).bytesOf(1000), 7u);

	struct Rate {
		const char *text;
		bool ok;
		unsigned long count, seconds;
	} rates[] = {{"5/60", true, 5, 60},   {"1/31622400", true, 1, 31622400}, {"1/31622401", false, 0, 0},
		     {"0/60", false, 0, 0},         {"5/0", false, 0, 0},                    {"5", false, 0, 0},
		     {"5/60s", false, 0, 0},        {"/60", false, 0, 0},                    {"5/-1", false, 0, 0}};
	for (auto &r : rates) {
		RateLimit l;
		EXPECT_EQ(Skelvane::parseRateLimit(r.text, l), r.ok) << r.text;
		if (r.ok) {
			EXPECT_EQ(l.count, r.count) << r.text;
			EXPECT_EQ(l.seconds, r.seconds) << r.text;
		}
	}
}

// Crashes of 100, 200 and 300 bytes, oldest first, on a file system of
// 10000 bytes.
TEST(CollectLimits, TheOldestCrashesMakeRoom)
{
	std::vector<Skelvane::StoredCrash> crashes = {{"a", 100, 1}, {"b", 200, 2}, {"c", 300, 3}};
	struct Case {
		const char *what;
		unsigned long long freeBytes, need;
		SizeLimit maxUse, keepFree;
		bool fits;
		size_t remove;
		const char *why; // part of it, when it does not fit
	} cases[] = {
		{"room as it is", 5000, 100, {false, 1000}, {false, 1000}, true, 0, ""},
		{"exactly at both limits", 1100, 400, {false, 1000}, {false, 700}, true, 0, ""},
		{"--max-use: the oldest goes", 5000, 450, {false, 1000}, {false, 0}, true, 1, ""},
		{"--keep-free: the two oldest go", 1000, 300, {false, 1 << 20}, {false, 1000}, true, 2, ""},
		{"--keep-free as a share", 1000, 300, {false, 1 << 20}, {true, 10}, true, 2, ""},
		{"bigger than --max-use itself", 5000, 1200, {false, 1000}, {false, 0}, false, 0, "--max-use"},
		{"not even with all gone: --keep-free", 1000, 500, {false, 1 << 20}, {false, 1200}, false, 0,
		 "less than --keep-free"},
		{"not even with all gone: no room", 0, 700, {false, 1 << 20}, {false, 0}, false, 0, "are free"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		Skelvane::SpacePlan p = Skelvane::planSpace(crashes, 600, c.freeBytes, c.need, c.maxUse, c.keepFree, 10000);
		EXPECT_EQ(p.fits, c.fits) << p.why;
		EXPECT_EQ(p.removeOldest, c.remove);
		EXPECT_NE(p.why.find(c.why), std::string::npos) << p.why;
	}
}

// At most 2 in any 10 seconds: a crash is kept while fewer than 2 were kept
// in the 10 seconds before it; the ones left out are counted, and the count
// goes with the next one kept. Another executable has its own count, and
// times after now (a clock set back) are forgotten. The state reads back as
// written, whatever the executables' names hold.
TEST(CollectLimits, ACrashLoopIsCountedPerExecutable)
{
	Skelvane::RateState state;
	RateLimit limit;
	limit.count = 2;
	limit.seconds = 10;
	struct Step {
		const char *exe;
		long long now;
		bool keep;
		unsigned long notKept;
	} steps[] = {
		{"/a", 100, true, 0},  {"/a", 101, true, 0},  {"/a", 102, false, 1}, {"/b", 102, true, 0},
		{"/a", 109, false, 2}, {"/a", 110, true, 2},  {"/a", 111, true, 0},  {"/a", 112, false, 1},
		{"/a", 50, true, 1},   {"/a", 50, true, 0},   {"/a", 51, false, 1},
		// handlers that take the lock out of their crashes' order
		{"/c", 201, true, 0},  {"/c", 200, true, 0},  {"/c", 200, false, 1},
	};
	for (auto &s : steps) {
		SCOPED_TRACE(std::string(s.exe) + " at " + std::to_string(s.now));
		Skelvane::RateVerdict v = Skelvane::applyRate(state, s.exe, s.now, limit);
		EXPECT_EQ(v.keep, s.keep);
		EXPECT_EQ(v.notKept, s.notKept);
	}

	state.entries.push_back({std::string("/odd name\n\xff", 11), {7, 8}, 3});
	Skelvane::RateState back;
	ASSERT_TRUE(Skelvane::parseRateState(Skelvane::formatRateState(state), back));
	EXPECT_EQ(Skelvane::formatRateState(back), Skelvane::formatRateState(state));
	ASSERT_EQ(back.entries.back().executable, std::string("/odd name\n\xff", 11));
	EXPECT_EQ(back.entries.back().notKept, 3u);
	// another text is no state; a broken line is passed over
	EXPECT_FALSE(Skelvane::parseRateState("garbage\n", back));
	ASSERT_TRUE(Skelvane::parseRateState("skelvane rate 1\nzz 1 2\n2f61 4 100 x\n2f61 2 100\n", back));
	ASSERT_EQ(back.entries.size(), 1u);
	EXPECT_EQ(back.entries[0].executable, "/a");
	EXPECT_EQ(back.entries[0].notKept, 2u);
}

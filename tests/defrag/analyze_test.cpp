// The verdict of --analyze from a report's figures: the pieces' cost
// against the data, then the free space. On a real image: analyze_image_test.cpp.
#include <string>
#include <gtest/gtest.h>
#include "analyze.h"
#include "json_out.h"

namespace {

struct frag_report make_report(uint64_t files, uint64_t fragmented, uint64_t fragments,
			       uint64_t data_blocks, uint64_t fragmented_blocks,
			       uint64_t free_blocks, uint64_t free_in_chunks)
{
	struct frag_report r = {};
	r.files = files;
	r.fragmented_files = fragmented;
	r.fragments = fragments;
	r.fragmented_pieces = fragments - (files - fragmented);
	r.data_blocks = data_blocks;
	r.fragmented_blocks = fragmented_blocks;
	r.free_known = 1;
	r.free_blocks = free_blocks;
	r.free_in_chunks = free_in_chunks;
	return r;
}

} // namespace

TEST(AnalyzeVerdict, FromThePiecesCostThenTheFreeSpace)
{
	const uint64_t total = 262144; // 1 GiB of 4 KiB blocks
	struct Case {
		const char *what;
		struct frag_report r;
		int movable;
		int worth;
		enum verdict_reason reason;
	} cases[] = {
		// the yardstick's image aged at 0.75: two files in three in pieces of ~50 KiB
		{"aged", make_report(5915, 4019, 16690, 187377, 180197, 60724, 5040), 1, 1,
		 VERDICT_FRAGMENTED_FILES},
		// one 4 GiB-ish image in 300 pieces of 12 MiB among 1,000 whole files:
		// 299 extra pieces cost 299 MiB of reading against 4 GiB of data (7 %)
		{"big pieces", make_report(1001, 1, 1300, 1048576 + 1000, 1048576, 100000, 90000), 1,
		 0, VERDICT_LITTLE},
		// the same file in 600 pieces: 14.6 %
		{"more pieces", make_report(1001, 1, 1600, 1048576 + 1000, 1048576, 100000, 90000), 1,
		 1, VERDICT_FRAGMENTED_FILES},
		// whole files, free space in small holes
		{"scattered free", make_report(5000, 10, 5020, 150000, 300, 80000, 20000), 1, 1,
		 VERDICT_FREE_SPACE},
		// ... but too little of it to join
		{"nearly full", make_report(5000, 10, 5020, 230000, 300, 20000, 2000), 1, 0,
		 VERDICT_LITTLE},
		{"no files", make_report(0, 0, 0, 0, 0, 200000, 200000), 1, 0, VERDICT_NO_FILES},
		{"cannot move", make_report(5915, 4019, 16690, 187377, 180197, 60724, 5040), 0, 0,
		 VERDICT_CANNOT_MOVE},
	};
	for (auto &c : cases) {
		struct analysis a;
		struct verdict v;
		analysis_figures(&c.r, 12, total, &a);
		analysis_verdict(&c.r, &a, 1024, c.movable, "because", &v);
		EXPECT_EQ(v.worth, c.worth) << c.what << ": " << v.text;
		EXPECT_EQ(v.reason, c.reason) << c.what << ": " << v.text;
	}
}

TEST(AnalyzeVerdict, FiguresOfTheAgedImage)
{
	struct frag_report r = make_report(5915, 4019, 16690, 187377, 180197, 60724, 5040);
	struct analysis a;
	analysis_figures(&r, 12, 262144, &a);
	EXPECT_NEAR(a.fragmented_files_pct, 67.95, 0.01);
	EXPECT_NEAR(a.fragmented_data_pct, 96.17, 0.01);
	// 180197 blocks in 14794 pieces
	EXPECT_NEAR(a.average_piece_kib, 180197.0 * 4 / 14794, 0.01);
	EXPECT_NEAR(a.read_cost_pct, 100.0 * (16690 - 5915) * 1024 / (187377.0 * 4), 0.01);
	EXPECT_NEAR(a.free_chunks_pct, 100.0 * 5040 / 60724, 0.01);
}

TEST(Json, StringsAreEscapedAndStayValidUtf8)
{
	char *buf = nullptr;
	size_t len = 0;
	FILE *f = open_memstream(&buf, &len);
	json_string(f, "a\"b\\c\nd\x01\xc3\xa9\xff/x");
	fclose(f);
	EXPECT_EQ(std::string(buf, len), "\"a\\\"b\\\\c\\u000ad\\u0001\xc3\xa9\\u00ff/x\"");
	free(buf);
}

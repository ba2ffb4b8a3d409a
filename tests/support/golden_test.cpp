// The expected-text comparison itself: a comparison that let a wrong text
// through would make every test that uses it pass for nothing.
#include "golden.h"

using testsupport::golden;
using testsupport::same_text;

namespace {

TEST(ExpectedText, ComparesByteForByteWithNumbersWhereMarked)
{
	struct Case {
		const char *want, *got;
		bool same;
	} cases[] = {
		{"a\tb \n", "a\tb \n", true},
		{"a\tb \n", "a\tb\n", false},     // a blank less
		{"a\tb \n", "a b \n", false},     // a space for a tab
		{"line\n", "line", false},        // the last newline
		{"line\n", "line\n\n", false},    // a line too many
		{"n: @NUM@ \n", "n: 0 \n", true},
		{"n: @NUM@ \n", "n: 12345 \n", true},
		{"n: @NUM@ \n", "n:  \n", false}, // no digit at all
		{"n: @NUM@ \n", "n: 1a \n", false},
		{"n: @NUM@ \n", "n: -1 \n", false},
		{"@NUM@ of @NUM@\n", "3 of 40\n", true},
		{"@NUM@ of @NUM@\n", "3 of \n", false},
		{"", "", true},
		{"", "\n", false},
	};
	for (auto &c : cases)
		EXPECT_EQ((bool)same_text(c.want, c.got), c.same) << "want \"" << c.want << "\" got \"" << c.got << "\"";
}

TEST(ExpectedText, MarksAreFilledAndAMismatchShowsTheLinesThatDiffer)
{
	// every occurrence of a mark is filled
	std::string filled = golden("skelvane-open-failed.txt", {{"PATH", "/some/core"}});
	EXPECT_EQ(filled.find("@PATH@"), std::string::npos) << filled;
	size_t first = filled.find("/some/core");
	EXPECT_NE(first, std::string::npos) << filled;
	EXPECT_NE(filled.find("/some/core", first + 1), std::string::npos) << filled;
	std::string shown = same_text("same\nwant\tthis\nend\n", "same\nwant this\nend\n").message();
	EXPECT_NE(shown.find("- want\\tthis$\n+ want this$\n"), std::string::npos) << shown;
	EXPECT_NE(shown.find("  same$\n"), std::string::npos) << shown;
}

} // namespace

// Expected texts (usage, messages, summaries) live in files under
// tests/expected/, not in string literals: a test names the file, fills in the
// parts that vary from run to run, and compares with one helper that shows
// the lines that differ.
#pragma once

#include <map>
#include <string>
#include <gtest/gtest.h>

namespace testsupport {

// Values for the @NAME@ marks of an expected text.
typedef std::map<std::string, std::string> GoldenVars;

// The text of tests/expected/<name>, byte for byte, with every @NAME@ for
// which vars has a value replaced by it. A missing file fails the test.
std::string golden(const std::string &name, const GoldenVars &vars = GoldenVars());

// Whether got is want byte for byte, where a "@NUM@" left in want stands for
// one or more decimal digits. On a mismatch the message shows both texts line
// by line, with tabs as \t and each line's end as $, so that a blank too many
// or a tab for a space is seen.
::testing::AssertionResult same_text(const std::string &want, const std::string &got);

} // namespace testsupport

// EXPECT_GOLDEN(got, "name.txt") or EXPECT_GOLDEN(got, "name.txt", {{"PATH", p}})
#define EXPECT_GOLDEN(got, ...) EXPECT_TRUE(::testsupport::same_text(::testsupport::golden(__VA_ARGS__), (got)))

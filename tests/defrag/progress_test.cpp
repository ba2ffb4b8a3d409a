// --progress as an administrator sees it: through a pseudo-terminal (script)
// the line appears and is redrawn in place, and what stays on the screen is
// the program's ordinary output; with standard error elsewhere, nothing
// changes at all.
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "inplace_fixture.h"
#include "test_support.h"

using namespace testsupport;

namespace {

// The lines a terminal shows at the end: a carriage return goes back to the
// start of the line, and what follows overwrites what was there.
std::vector<std::string> screen_lines(const std::string &raw)
{
	std::vector<std::string> lines;
	std::string line;
	size_t col = 0;
	auto flush = [&] {
		line.erase(line.find_last_not_of(' ') + 1);
		lines.push_back(line);
		line.clear();
		col = 0;
	};
	for (char c : raw) {
		if (c == '\n') {
			flush();
		} else if (c == '\r') {
			col = 0;
		} else {
			if (col < line.size())
				line[col] = c;
			else
				line.push_back(c);
			col++;
		}
	}
	if (!line.empty())
		flush();
	return lines;
}

std::string quote(const std::string &s)
{
	return "'" + s + "'";
}

TEST(Progress, ALineOnTheTerminalAndNothingElsewhere)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096", "noatime");
	ASSERT_TRUE(img.ok());
	inplace::interleave_allocations(img);
	sh_ok("mkdir " + quote(img.path("d")));
	std::vector<std::string> files;
	for (const char *n : {"a", "b", "c", "d"})
		files.push_back(img.path(std::string("d/") + n));
	inplace::write_interleaved(files, 64, 2, 4096, 7);
	img.settle();

	std::string qf = quote(QUILLFOLD_BIN) + " ";
	std::string args = quote(img.device()) + " " + quote(img.mnt());
	TempDir tmp;

	// Standard error not a terminal: the option does nothing, also when
	// standard output is one.
	CmdResult r = sh("script -qec " + quote(qf + "--progress -n " + args + " 2>" + tmp.path() + "/err") +
			 " /dev/null");
	EXPECT_EQ(r.status, 0) << r.out;
	EXPECT_EQ(sh_ok("cat " + tmp.path() + "/err"), "");
	EXPECT_EQ(r.out.find("files "), std::string::npos) << r.out;
	// Standard output elsewhere: the same bytes as without the option.
	img.settle();
	r = sh("script -qec " + quote(qf + "--progress -n " + args + " >" + tmp.path() + "/out") +
	       " /dev/null");
	EXPECT_EQ(r.status, 0) << r.out;
	img.settle();
	CmdResult plain = sh(qf + "-n " + args);
	EXPECT_EQ(sh_ok("cat " + tmp.path() + "/out"), plain.out);

	// Both on the terminal, with data moved.
	img.settle();
	r = sh("script -qec " + quote(qf + "--progress -v " + args) + " /dev/null");
	ASSERT_EQ(r.status, 0) << r.out;
	for (const char *drawn : {"\rPass2: files ", "\rPass3: files ", "\rPass4: groups 0/"})
		EXPECT_NE(r.out.find(drawn), std::string::npos) << drawn << " in " << r.out;
	// Pass3 moved the four files before Pass4 drew its first line.
	size_t pass4 = r.out.find("\rPass4: groups 0/");
	size_t moved = r.out.find(", moved ", pass4);
	ASSERT_NE(moved, std::string::npos) << r.out;
	EXPECT_NE(r.out.substr(moved, 10), ", moved 0 ") << r.out;

	// What stays is exactly the program's own lines, none of them cut.
	bool pass4_line = false;
	for (const std::string &line : screen_lines(r.out)) {
		EXPECT_EQ(line.find("moved"), std::string::npos) << line;
		pass4_line |= line.rfind("pass4 group:", 0) == 0;
		EXPECT_TRUE(line.empty() || line.rfind("Pass", 0) == 0 || line.rfind("pass4 group:", 0) == 0 ||
			    line.rfind("do_iaf_defrag_one ", 0) == 0)
			<< line;
	}
	EXPECT_TRUE(pass4_line) << r.out;
	for (auto &f : files)
		EXPECT_EQ(fragments(filefrag(f)), 1u) << f;
}

} // namespace

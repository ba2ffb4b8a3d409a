#include "golden.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace testsupport {

std::string golden(const std::string &name, const GoldenVars &vars)
{
	std::string path = std::string(TEST_EXPECTED_DIR) + "/" + name;
	std::ifstream f(path, std::ios::binary);
	if (!f) {
		ADD_FAILURE() << "no expected text " << path;
		return "(no expected text " + name + ")";
	}
	std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
	for (auto &v : vars) {
		const std::string mark = "@" + v.first + "@";
		if (text.find(mark) == std::string::npos)
			ADD_FAILURE() << name << " has no mark " << mark;
		for (size_t at = 0; (at = text.find(mark, at)) != std::string::npos; at += v.second.size())
			text.replace(at, mark.size(), v.second);
	}
	return text;
}

namespace {

const std::string kNum = "@NUM@";

// One line of want against one of got, @NUM@ matching a run of digits.
bool line_matches(const std::string &want, const std::string &got)
{
	size_t w = 0, g = 0;
	for (;;) {
		size_t mark = want.find(kNum, w);
		std::string lit = want.substr(w, mark == std::string::npos ? std::string::npos : mark - w);
		if (got.compare(g, lit.size(), lit) != 0)
			return false;
		g += lit.size();
		if (mark == std::string::npos)
			return g == got.size();
		size_t digits = g;
		while (g < got.size() && got[g] >= '0' && got[g] <= '9')
			g++;
		if (g == digits)
			return false;
		w = mark + kNum.size();
	}
}

// The lines of a text; a text that ends with a newline ends with an empty one.
std::vector<std::string> lines_of(const std::string &s)
{
	std::vector<std::string> v;
	size_t at = 0;
	for (;;) {
		size_t nl = s.find('\n', at);
		if (nl == std::string::npos) {
			v.push_back(s.substr(at));
			return v;
		}
		v.push_back(s.substr(at, nl - at));
		at = nl + 1;
	}
}

std::string shown(const std::string &line, bool last)
{
	std::string out;
	for (char c : line) {
		if (c == '\t')
			out += "\\t";
		else if (c == '\r')
			out += "\\r";
		else
			out += c;
	}
	return last ? out : out + "$";
}

} // namespace

::testing::AssertionResult same_text(const std::string &want, const std::string &got)
{
	std::vector<std::string> a = lines_of(want), b = lines_of(got);
	// the longest common subsequence of lines, for a readable diff
	std::vector<std::vector<size_t> > lcs(a.size() + 1, std::vector<size_t>(b.size() + 1, 0));
	for (size_t i = a.size(); i-- > 0;)
		for (size_t j = b.size(); j-- > 0;)
			lcs[i][j] = line_matches(a[i], b[j]) ? lcs[i + 1][j + 1] + 1
							     : std::max(lcs[i + 1][j], lcs[i][j + 1]);
	if (a.size() == b.size() && lcs[0][0] == a.size())
		return ::testing::AssertionSuccess();
	std::ostringstream os;
	os << "text differs from the expected one (- expected, + actual, \\t a tab, $ a line's end):\n";
	size_t i = 0, j = 0;
	while (i < a.size() || j < b.size()) {
		if (i < a.size() && j < b.size() && line_matches(a[i], b[j])) {
			os << "  " << shown(b[j], j + 1 == b.size()) << "\n";
			i++, j++;
		} else if (j < b.size() && (i == a.size() || lcs[i][j + 1] > lcs[i + 1][j])) {
			os << "+ " << shown(b[j], j + 1 == b.size()) << "\n";
			j++;
		} else {
			os << "- " << shown(a[i], i + 1 == a.size()) << "\n";
			i++;
		}
	}
	return ::testing::AssertionFailure() << os.str();
}

} // namespace testsupport

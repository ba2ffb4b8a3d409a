#include "collect_limits.h"

#include "text_form.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <sstream>

namespace Skelvane {

namespace {

const char kRateHeader[] = "skelvane rate 1";
const unsigned long kYear = 366ul * 24 * 3600;
// Most times an entry is read with, whatever limit wrote it.
const size_t kMaxRateTimes = 100000;

bool parseNumber(const std::string &s, unsigned long long &out)
{
	if (s.empty() || s.size() > 20 || s.find_first_not_of("0123456789") != std::string::npos)
		return false;
	out = 0;
	for (char c : s) {
		unsigned long long d = (unsigned long long)(c - '0');
		if (out > (ULLONG_MAX - d) / 10)
			return false;
		out = out * 10 + d;
	}
	return true;
}

std::string hexOf(const std::string &s)
{
	static const char digits[] = "0123456789abcdef";
	std::string out;
	for (unsigned char c : s) {
		out += digits[c >> 4];
		out += digits[c & 15];
	}
	return out;
}

int nibble(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	return -1;
}

bool unhex(const std::string &s, std::string &out)
{
	if (s.size() % 2)
		return false;
	out.clear();
	for (size_t i = 0; i < s.size(); i += 2) {
		int hi = nibble(s[i]), lo = nibble(s[i + 1]);
		if (hi < 0 || lo < 0)
			return false;
		out += (char)(hi * 16 + lo);
	}
	return true;
}

} // namespace

unsigned long long SizeLimit::bytesOf(unsigned long long fsSize) const
{
	if (!percent)
		return amount;
	// exact for any size a file system has: 100 times it would overflow
	// only beyond 160 PiB
	return fsSize / 100 * amount + fsSize % 100 * amount / 100;
}

std::string SizeLimit::inWords() const
{
	return percent ? std::to_string(amount) + " %" : sizeInWords(amount);
}

bool parseSizeLimit(const std::string &text, SizeLimit &out)
{
	size_t digits = 0;
	while (digits < text.size() && isdigit((unsigned char)text[digits]))
		digits++;
	unsigned long long n;
	if (digits == 0 || !parseNumber(text.substr(0, digits), n))
		return false;
	std::string unit = text.substr(digits);
	for (char &c : unit)
		c = (char)toupper((unsigned char)c);
	if (unit == "%") {
		if (n > 100)
			return false;
		out.percent = true;
		out.amount = n;
		return true;
	}
	unsigned shift = 0;
	if (!unit.empty() && unit != "B") {
		const std::string letters = "KMGTPE";
		size_t at = letters.find(unit[0]);
		std::string rest = unit.substr(1);
		if (at == std::string::npos || (!rest.empty() && rest != "B" && rest != "IB"))
			return false;
		shift = 10 * (unsigned)(at + 1);
	}
	if (shift && n > (ULLONG_MAX >> shift))
		return false;
	out.percent = false;
	out.amount = n << shift;
	return true;
}

bool parseRateLimit(const std::string &text, RateLimit &out)
{
	size_t slash = text.find('/');
	unsigned long long count, seconds;
	if (slash == std::string::npos || !parseNumber(text.substr(0, slash), count) ||
	    !parseNumber(text.substr(slash + 1), seconds) || count == 0 || count > ULONG_MAX || seconds == 0 ||
	    seconds > kYear)
		return false;
	out.count = (unsigned long)count;
	out.seconds = (unsigned long)seconds;
	return true;
}

SpacePlan planSpace(const std::vector<StoredCrash> &oldestFirst, unsigned long long used,
		    unsigned long long freeBytes, unsigned long long need, const SizeLimit &maxUse,
		    const SizeLimit &keepFree, unsigned long long fsSize)
{
	SpacePlan plan;
	unsigned long long most = maxUse.bytesOf(fsSize), least = keepFree.bytesOf(fsSize);
	for (size_t k = 0;; k++) {
		bool withinUse = need <= most && used <= most - need;
		bool leavesFree = need <= freeBytes && freeBytes - need >= least;
		if (withinUse && leavesFree) {
			plan.fits = true;
			plan.removeOldest = k;
			return plan;
		}
		if (k == oldestFirst.size()) {
			// what is still broken with every older crash gone
			if (!withinUse)
				plan.why = "it needs " + sizeInWords(need) + " and the directory may hold " +
					   sizeInWords(most) + " (--max-use " + maxUse.inWords() + ")";
			else if (need > freeBytes)
				plan.why = "it needs " + sizeInWords(need) + " and only " + sizeInWords(freeBytes) +
					   " are free";
			else
				plan.why = "it would leave " + sizeInWords(freeBytes - need) +
					   " free on the file system, less than --keep-free " + keepFree.inWords();
			return plan;
		}
		unsigned long long b = oldestFirst[k].bytes;
		used -= std::min(used, b);
		freeBytes = freeBytes > ULLONG_MAX - b ? ULLONG_MAX : freeBytes + b;
	}
}

std::string formatRateState(const RateState &state)
{
	std::ostringstream os;
	os << kRateHeader << "\n";
	for (auto &e : state.entries) {
		os << hexOf(e.executable) << " " << e.notKept;
		for (long long t : e.kept)
			os << " " << t;
		os << "\n";
	}
	return os.str();
}

bool parseRateState(const std::string &text, RateState &state)
{
	state.entries.clear();
	std::istringstream in(text);
	std::string line;
	if (!std::getline(in, line) || line != kRateHeader)
		return false;
	while (std::getline(in, line) && state.entries.size() < kMaxRateEntries) {
		std::istringstream words(line);
		std::string key, count;
		RateEntry e;
		unsigned long long n;
		if (!(words >> key >> count) || !unhex(key, e.executable) || !parseNumber(count, n) || n > ULONG_MAX)
			continue;
		e.notKept = (unsigned long)n;
		std::string t;
		bool ok = true;
		while (words >> t && e.kept.size() < kMaxRateTimes) {
			unsigned long long v;
			if (!parseNumber(t, v) || v > LLONG_MAX) {
				ok = false;
				break;
			}
			e.kept.push_back((long long)v);
		}
		if (ok)
			state.entries.push_back(e);
	}
	return true;
}

RateVerdict applyRate(RateState &state, const std::string &executable, long long now, const RateLimit &limit)
{
	RateVerdict v;
	// forget what lies outside every window: kept times that have passed,
	// and entries that then hold nothing worth telling. Handlers of crashes
	// a second apart take the lock in any order, so a kept time a little
	// ahead of this crash's still counts; one a whole window ahead is a
	// clock set back
	for (auto &e : state.entries)
		e.kept.erase(std::remove_if(e.kept.begin(), e.kept.end(),
					    [&](long long t) {
						    return t - now >= (long long)limit.seconds ||
							   now - t >= (long long)limit.seconds;
					    }),
			     e.kept.end());
	auto it = std::find_if(state.entries.begin(), state.entries.end(),
			       [&](const RateEntry &e) { return e.executable == executable; });
	if (it == state.entries.end()) {
		state.entries.push_back(RateEntry());
		it = state.entries.end() - 1;
		it->executable = executable;
	}
	if (it->kept.size() < limit.count) {
		it->kept.push_back(now);
		v.notKept = it->notKept;
		it->notKept = 0;
	} else {
		v.keep = false;
		v.notKept = ++it->notKept;
	}
	state.entries.erase(std::remove_if(state.entries.begin(), state.entries.end(),
					   [](const RateEntry &e) { return e.kept.empty() && e.notKept == 0; }),
			    state.entries.end());
	if (state.entries.size() > kMaxRateEntries) {
		// the entries whose last kept crash lies furthest back go
		std::stable_sort(state.entries.begin(), state.entries.end(), [](const RateEntry &a, const RateEntry &b) {
			long long la = a.kept.empty() ? 0 : a.kept.back(), lb = b.kept.empty() ? 0 : b.kept.back();
			return la > lb;
		});
		state.entries.resize(kMaxRateEntries);
	}
	return v;
}

} // namespace Skelvane

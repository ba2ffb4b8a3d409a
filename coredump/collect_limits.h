// The collector's limits, as decisions on plain data: how much room the
// directory's crashes may take (--max-use), how much of its file system
// stays free (--keep-free), and how often one executable's crashes are
// kept (--rate). The collect directory supplies the figures and carries
// the decisions out.
#pragma once

#include <string>
#include <vector>

namespace Skelvane {

// A size given as bytes or as a share of the file system.
struct SizeLimit {
	bool percent = false;
	unsigned long long amount = 0; // bytes, or percent (0 to 100)
	// The bytes it stands for on a file system of fsSize bytes.
	unsigned long long bytesOf(unsigned long long fsSize) const;
	// "1 GiB", "15 %"
	std::string inWords() const;
};

// "123", "512K", "512M", "1G", "2T" (powers of 1024; a trailing "B" or
// "iB" is allowed, and the letters may be small), or "15%" of the file
// system. false for anything else, a fraction or an overflow included.
bool parseSizeLimit(const std::string &text, SizeLimit &out);

static const SizeLimit kDefaultMaxUse = {false, 1ull << 30};
static const SizeLimit kDefaultKeepFree = {true, 15};

// At most `count` crashes of one executable kept in any `seconds`.
struct RateLimit {
	unsigned long count = 5;
	unsigned long seconds = 60;
};
// "N/SECONDS", both at least 1, SECONDS at most a year.
bool parseRateLimit(const std::string &text, RateLimit &out);

// A crash kept in the directory: its files (core and record) by their
// common name, the bytes they take on disk, and when they were written.
struct StoredCrash {
	std::string stem;
	unsigned long long bytes = 0;
	long long writtenNs = 0;
};

struct SpacePlan {
	bool fits = false;
	size_t removeOldest = 0; // how many of the oldest crashes to remove first
	std::string why;         // when it does not fit
};

// Whether `need` more bytes fit: the crashes' bytes (`used`) stay within
// maxUse and the file system's free bytes stay at keepFree or above,
// after removing as few of the oldest crashes as it takes. When even
// removing all of them is not enough, nothing is removed.
SpacePlan planSpace(const std::vector<StoredCrash> &oldestFirst, unsigned long long used,
		    unsigned long long freeBytes, unsigned long long need, const SizeLimit &maxUse,
		    const SizeLimit &keepFree, unsigned long long fsSize);

// What the directory remembers of each executable's recent crashes: the
// times of those kept within the window, and how many were not kept since
// the last one that was.
struct RateEntry {
	std::string executable;
	std::vector<long long> kept;
	unsigned long notKept = 0;
};
struct RateState {
	std::vector<RateEntry> entries;
};
// Most executables remembered; the ones kept longest ago go first.
static const size_t kMaxRateEntries = 4096;

std::string formatRateState(const RateState &state);
// Takes whatever lines of text it can read; false when the text is no
// rate state at all (the state then starts empty).
bool parseRateState(const std::string &text, RateState &state);

struct RateVerdict {
	bool keep = true;
	// keep: the crashes of this executable not kept since its last kept one;
	// otherwise the count so far, this one included.
	unsigned long notKept = 0;
};
// Decides on one crash of executable at time now and updates state: a
// crash is kept while fewer than limit.count were kept in the last
// limit.seconds. Times after now (the clock went back) are forgotten.
RateVerdict applyRate(RateState &state, const std::string &executable, long long now, const RateLimit &limit);

} // namespace Skelvane

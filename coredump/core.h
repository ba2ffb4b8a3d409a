// The result of one run: the output header and segments, and the open core
// whose libelf chunks some segments point into.
#pragma once

#include "builder.h"

#include <ostream>
#include <string>

namespace Skelvane {

class Core {
public:
	Core();
	~Core();
	// Opens and reads the core at path; prints the failing step's message
	// and returns false on failure.
	bool read(const char *path);
	// The same from a core stream on fd, with the mappings' contents read
	// from memory; prints nothing, gives the reason in why on failure.
	bool collect(int fd, const boost::shared_ptr<Memory> &memory, std::string &why);
	// Empties the segment list and forgets what it lacked; the header and
	// reader stay.
	void clear();

	// The stripped core's ELF header and its segments in file order.
	Header header;
	SegmentList segments;
	boost::shared_ptr<Reader> reader;
	// Keep the first page of every mapped ELF object as well.
	bool buildIds = false;
	// When the loaded objects cannot be found (no dynamic section, or no
	// r_debug record through it: a static program, or a crash before the
	// dynamic linker was set up), keep the rest of a core all the same.
	bool keepPartial = false;
	// After a successful read, what such a partial core lacks, as a list
	// ("dynamic section, r_debug record, link maps" or "r_debug record,
	// link maps"); empty for a whole core.
	std::string missing;

private:
	// Runs the builder steps on reader; the failing step's message, or null.
	// Sets missing on success.
	const char *build();

	Core(const Core &) = delete;
	Core &operator=(const Core &) = delete;
};

// Lays the stripped core out: header, one program header per segment, the
// segments' bytes back to back. Stops at the first failed write.
std::ostream &operator<<(std::ostream &os, const Result &result);
std::ostream &operator<<(std::ostream &os, const Core &core);

} // namespace Skelvane

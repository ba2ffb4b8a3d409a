// The result of one run: the output header and segments, and the open core
// whose libelf chunks some segments point into.
#pragma once

#include "builder.h"

#include <ostream>

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
	// Empties the segment list; the header and reader stay.
	void clear();

	// The stripped core's ELF header and its segments in file order.
	Header header;
	SegmentList segments;
	boost::shared_ptr<Reader> reader;
	// Keep the first page of every mapped ELF object as well.
	bool buildIds = false;

private:
	// Runs the builder steps on reader; the failing step's message, or null.
	const char *build();

	Core(const Core &) = delete;
	Core &operator=(const Core &) = delete;
};

// Lays the stripped core out: header, one program header per segment, the
// segments' bytes back to back. Stops at the first failed write.
std::ostream &operator<<(std::ostream &os, const Result &result);
std::ostream &operator<<(std::ostream &os, const Core &core);

} // namespace Skelvane

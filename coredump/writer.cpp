// The stripped core file format, written straight from the segments' buffers.
#include "core.h"

#include <algorithm>

namespace Skelvane {

static bool failed(const std::ostream &os)
{
	return os.rdstate() & (std::ios::failbit | std::ios::badbit);
}

// The layout of both kinds of result: what the builder gives and what a
// Core holds.
static std::ostream &writeStripped(std::ostream &os, const Header &h, const SegmentList &segments)
{
	const unsigned long entSize = h.e_phentsize;
	const unsigned long count = h.e_phnum;
	os.write(reinterpret_cast<const char *>(&h), sizeof(h));
	if (failed(os))
		return os;

	// Each table entry is entSize bytes, taken from a 56-byte record: a
	// shorter entry is cut, a longer one is filled with zero bytes, so the
	// layout always matches the header and nothing is read past the record.
	static const char zeros[64] = {};
	const unsigned long fromRecord = std::min<unsigned long>(entSize, sizeof(Elf64_Phdr));
	unsigned long offset = sizeof(Header) + count * entSize;
	for (const auto &seg : segments) {
		Elf64_Phdr ph = seg->getHeader(offset);
		os.write(reinterpret_cast<const char *>(&ph), (std::streamsize)fromRecord);
		for (unsigned long left = entSize - fromRecord; left > 0 && !failed(os);) {
			unsigned long n = std::min<unsigned long>(left, sizeof(zeros));
			os.write(zeros, (std::streamsize)n);
			left -= n;
		}
		if (failed(os))
			return os;
		offset += seg->getSize();
	}
	for (const auto &seg : segments) {
		size_t size = seg->getSize();
		if (size)
			os.write(static_cast<const char *>(seg->getBuffer()), (std::streamsize)size);
		if (failed(os))
			break;
	}
	return os;
}

std::ostream &operator<<(std::ostream &os, const Result &result)
{
	return writeStripped(os, result.header, result.segments);
}

std::ostream &operator<<(std::ostream &os, const Core &core)
{
	return writeStripped(os, core.header, core.segments);
}

} // namespace Skelvane

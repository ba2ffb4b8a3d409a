// A core as the kernel pipes it to its handler: the head of the stream (ELF
// header, program headers, notes) is read and held, and the bytes of every
// dumped mapping, which follow in the stream, are read from the crashed
// process's memory instead, so that the core can be read as if it were a
// file without holding it whole.
#pragma once

#include "memory.h"

#include <libelf.h>

#include <list>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

namespace Skelvane {

// Most bytes a core stream holds at once: its head and every chunk read
// from process memory together.
static const unsigned long kStreamHoldLimit = 128ul << 20;
// The unit in which the kernel dumps memory: a page that cannot be read is
// written as zeros.
static const unsigned long kMemoryPage = 4096;

class CoreStream {
public:
	// Reads the head of a core stream from fd. Gives a null pointer with
	// the reason in why when the head is cut short, is no 64-bit
	// little-endian ELF core this program reads, or lies too far into the
	// stream.
	static boost::shared_ptr<CoreStream> open(int fd, const boost::shared_ptr<Memory> &memory, std::string &why);
	~CoreStream();

	// libelf's handle on the head, owned by the stream.
	Elf *getElf() const { return elf; }
	// Bytes of the core at a file offset, as a file of getCoreSize() bytes
	// holds them: the head from the stream, a dumped mapping's range from
	// memory (a page that cannot be read is zero, as the kernel writes it),
	// and zero between the ranges. Short only at the end of the core.
	long read(void *buf, unsigned long size, unsigned long offset);
	// A libelf chunk of the bytes read at offset, with the core's class and
	// byte order, owned by the stream; null where a file of the core's size
	// would not hold it, or past kStreamHoldLimit.
	Elf_Data *chunk(unsigned long offset, unsigned long size, Elf_Type type);

	// Bytes taken from the stream so far, and the size of the core its
	// headers describe.
	unsigned long getStreamRead() const { return streamRead; }
	unsigned long getCoreSize() const { return coreSize; }

private:
	explicit CoreStream(const boost::shared_ptr<Memory> &memory);
	CoreStream(const CoreStream &) = delete;
	CoreStream &operator=(const CoreStream &) = delete;

	// The head from fd; the reason in why when it cannot be had.
	bool readHead(int fd, std::string &why);
	// Copies size bytes at process address addr, zero for every page that
	// cannot be read.
	void readMemory(unsigned long addr, char *out, unsigned long size);

	struct Range {
		unsigned long offset, size, vaddr;
	};
	struct OwnedChunk {
		std::vector<char> image;
		Elf *elf = nullptr;
	};
	boost::shared_ptr<Memory> memory;
	std::vector<char> head;
	Elf *elf = nullptr;
	std::vector<Range> ranges; // dumped PT_LOAD ranges, by file offset
	std::list<OwnedChunk> chunks;
	unsigned long streamRead = 0, coreSize = 0, held = 0;
};

} // namespace Skelvane

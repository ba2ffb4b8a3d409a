#include "core_stream.h"

#include "fd_io.h"

#include <algorithm>
#include <cstring>
#include <elf.h>

namespace Skelvane {

namespace {
// The head of a stream is held whole; half of what a stream may hold.
const unsigned long kHeadLimit = kStreamHoldLimit / 2;
} // namespace

CoreStream::CoreStream(const boost::shared_ptr<Memory> &memory_) : memory(memory_) {}

CoreStream::~CoreStream()
{
	for (auto &c : chunks)
		elf_end(c.elf);
	elf_end(elf);
}

boost::shared_ptr<CoreStream> CoreStream::open(int fd, const boost::shared_ptr<Memory> &memory, std::string &why)
{
	boost::shared_ptr<CoreStream> s(new CoreStream(memory));
	if (!s->readHead(fd, why))
		return boost::shared_ptr<CoreStream>();
	return s;
}

bool CoreStream::readHead(int in, std::string &why)
{
	Elf64_Ehdr eh;
	if (!fillTo(in, head, sizeof(eh))) {
		why = "the core stream ended inside the ELF header";
		return false;
	}
	memcpy(&eh, head.data(), sizeof(eh));
	// The kernel of this machine writes only these.
	if (memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
	    eh.e_ident[EI_DATA] != ELFDATA2LSB) {
		why = "the core stream is no 64-bit little-endian ELF file";
		return false;
	}
	if (eh.e_phentsize != sizeof(Elf64_Phdr) || eh.e_phnum == 0 || eh.e_phnum == PN_XNUM) {
		why = "the core stream's program header table is empty, extended or of an odd entry size";
		return false;
	}
	unsigned long tableEnd = eh.e_phoff + (unsigned long)eh.e_phnum * sizeof(Elf64_Phdr);
	if (tableEnd < eh.e_phoff || tableEnd > kHeadLimit) {
		why = "the core stream's program headers lie too far into it";
		return false;
	}
	if (!fillTo(in, head, tableEnd)) {
		why = "the core stream ended inside the program headers";
		return false;
	}
	// Everything but the mappings' contents (the notes, in a Linux core)
	// is read from the stream; the mappings come from memory.
	unsigned long headEnd = tableEnd, size = tableEnd;
	for (unsigned i = 0; i < eh.e_phnum; i++) {
		Elf64_Phdr ph;
		memcpy(&ph, head.data() + eh.e_phoff + (unsigned long)i * sizeof(ph), sizeof(ph));
		unsigned long end = ph.p_offset + ph.p_filesz;
		if (end < ph.p_offset) {
			why = "a program header of the core stream reaches past any file";
			return false;
		}
		size = std::max(size, end);
		if (ph.p_filesz == 0)
			continue;
		if (ph.p_type == PT_LOAD)
			ranges.push_back({ph.p_offset, ph.p_filesz, ph.p_vaddr});
		else
			headEnd = std::max(headEnd, end);
	}
	if (headEnd > kHeadLimit) {
		why = "the core stream's notes reach too far into it";
		return false;
	}
	if (!fillTo(in, head, headEnd)) {
		why = "the core stream ended inside the notes";
		return false;
	}
	std::sort(ranges.begin(), ranges.end(), [](const Range &a, const Range &b) { return a.offset < b.offset; });
	streamRead = head.size();
	coreSize = size;
	held = head.size();
	if (elf_version(EV_CURRENT) == EV_NONE || !(elf = elf_memory(head.data(), head.size()))) {
		why = "libelf cannot start on the core stream";
		return false;
	}
	return true;
}

void CoreStream::readMemory(unsigned long addr, char *out, unsigned long n)
{
	for (unsigned long got = 0; got < n;) {
		long k = memory->readMemory(addr + got, out + got, n - got);
		if (k > 0) {
			got += (unsigned long)k;
			continue;
		}
		// A page the process cannot give is zero, as in the kernel's own
		// dump.
		unsigned long a = addr + got, pageEnd = (a | (kMemoryPage - 1)) + 1;
		unsigned long z = pageEnd > a ? std::min(n - got, pageEnd - a) : n - got;
		memset(out + got, 0, z);
		got += z;
	}
}

long CoreStream::read(void *buf, unsigned long size, unsigned long offset)
{
	if (offset >= coreSize)
		return 0;
	size = std::min(size, coreSize - offset);
	char *out = static_cast<char *>(buf);
	unsigned long done = 0;
	while (done < size) {
		unsigned long at = offset + done, want = size - done, n;
		if (at < head.size()) {
			n = std::min(want, head.size() - at);
			memcpy(out + done, head.data() + at, n);
			done += n;
			continue;
		}
		auto next = std::upper_bound(ranges.begin(), ranges.end(), at,
					     [](unsigned long a, const Range &r) { return a < r.offset; });
		if (next != ranges.begin() && at - (next - 1)->offset < (next - 1)->size) {
			const Range &r = *(next - 1);
			n = std::min(want, r.offset + r.size - at);
			readMemory(r.vaddr + (at - r.offset), out + done, n);
		} else {
			// between the ranges the file holds zeros (alignment)
			n = std::min(want, (next != ranges.end() ? next->offset : coreSize) - at);
			memset(out + done, 0, n);
		}
		done += n;
	}
	return (long)size;
}

Elf_Data *CoreStream::chunk(unsigned long offset, unsigned long size, Elf_Type type)
{
	// libelf's own rule for a file of coreSize bytes
	if (offset > coreSize || size > coreSize - offset)
		return nullptr;
	if (offset + size <= head.size())
		return elf_getdata_rawchunk(elf, (int64_t)offset, size, type);
	Elf64_Ehdr eh;
	if (size > kStreamHoldLimit - held || kStreamHoldLimit - held - size < sizeof(eh))
		return nullptr;
	// The bytes behind a copy of the core's ELF header (without tables), so
	// that libelf hands out the chunk as it would from the file: same class,
	// byte order and type.
	memcpy(&eh, head.data(), sizeof(eh));
	eh.e_phoff = eh.e_shoff = 0;
	eh.e_phnum = eh.e_shnum = eh.e_shstrndx = 0;
	chunks.emplace_back();
	OwnedChunk &c = chunks.back();
	c.image.resize(sizeof(eh) + size);
	memcpy(c.image.data(), &eh, sizeof(eh));
	read(c.image.data() + sizeof(eh), size, offset);
	c.elf = elf_memory(c.image.data(), c.image.size());
	Elf_Data *d = c.elf ? elf_getdata_rawchunk(c.elf, sizeof(eh), size, type) : nullptr;
	if (!d) {
		elf_end(c.elf);
		chunks.pop_back();
		return nullptr;
	}
	held += c.image.size();
	return d;
}

} // namespace Skelvane

// The one class that touches the core file: opens it through libelf and
// answers bounded lookups over its program headers, notes and memory.
#pragma once

#include <elf.h>
#include <gelf.h>
#include <libelf.h>
#include <link.h>
#include <sys/procfs.h>

#include <list>
#include <utility>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

namespace Skelvane {

// Size of the x86-64 thread status record a Linux core carries per thread.
static const unsigned long kPrStatusSize = 336;
// Index of rsp in the general registers of that record.
static const unsigned kStackRegister = 19;
// Longest object name read at a process address, NUL included.
static const unsigned long kMaxString = 4096;
// The gap the kernel keeps free below a stack so that it can grow (256 pages
// of 4 KiB unless the kernel was told otherwise). A thread that overflows its
// stack faults with its stack pointer in that gap, below the dumped mapping.
static const unsigned long kStackGuardGap = 256ul * 4096;

// Size of the first page of a mapping, which holds a loaded object's ELF
// header, program headers and (as linkers lay it out) its build ID note.
static const unsigned long kModulePage = 4096;
// Most bytes a Reader on a stream holds at once: the head of the stream and
// every chunk read from process memory together.
static const unsigned long kStreamHoldLimit = 128ul << 20;

// The crashed process's memory by address. While the kernel writes a core
// into the handler's pipe the process still exists, so its memory can be
// read in place of the bytes that follow in the stream.
class Memory {
public:
	virtual ~Memory();
	// Up to size bytes at process address addr: the number read, which is
	// short or -1 where the memory cannot be read.
	virtual long readMemory(unsigned long addr, void *buf, unsigned long size) = 0;
};

// /proc/PID/mem of a live (dumping) process.
class ProcessMemory : public Memory {
public:
	// Null, with errno set, when the file cannot be opened.
	static boost::shared_ptr<ProcessMemory> openProcess(const std::string &pid);
	~ProcessMemory() override;
	long readMemory(unsigned long addr, void *buf, unsigned long size) override;

private:
	explicit ProcessMemory(int fd);
	int fd;
};

// The memory that a whole core file in a buffer holds: an address reads from
// the first dumped PT_LOAD range, in table order, that holds it. Stands in
// for a process in tests and in the fuzz harness.
class ImageMemory : public Memory {
public:
	ImageMemory(const void *bytes, unsigned long size);
	long readMemory(unsigned long addr, void *buf, unsigned long size) override;

private:
	const char *bytes;
	unsigned long size;
	std::vector<Elf64_Phdr> loads;
};

class Reader {
public:
	// Opens the core read-only and starts libelf on it; prints a message and
	// gives a null pointer on failure.
	static boost::shared_ptr<Reader> openCoreFile(const char *path);
	// Reads the head of a core stream (ELF header, program headers, notes)
	// from fd and answers every later lookup as if the whole core were a
	// file: the bytes of a dumped mapping come from memory instead. Prints
	// nothing; gives a null pointer with the reason in why on failure.
	static boost::shared_ptr<Reader> openCoreStream(int fd, const boost::shared_ptr<Memory> &memory,
							 std::string &why);
	~Reader();

	Elf64_Ehdr *getEhdr(Elf64_Ehdr &out);
	Elf64_Phdr *findNotePhdr(Elf64_Phdr &out);
	Elf_Data *getNoteData(const Elf64_Phdr &notePhdr);
	Elf_Data *getAuxvData(const Elf64_Phdr &notePhdr, Elf_Data *notes);
	Elf64_auxv_t *findAuxvByType(Elf_Data *auxv, unsigned int type, Elf64_auxv_t &out);
	Elf64_Phdr *findPhdrByVaddr(unsigned long vaddr, Elf64_Phdr &out);
	long findOffsetByVaddr(unsigned long vaddr);
	Elf_Data *getDynData(Elf64_Phdr &dynPhdr);
	Elf64_Dyn *findDynByTag(Elf_Data *dyn, long tag, Elf64_Dyn &out);
	Elf_Data *getExecPhdrData(Elf_Data *auxv);
	Elf64_Phdr *findExecPhdrByType(Elf_Data *phdrs, unsigned int type, Elf64_Phdr &out);
	long readCoreData(void *buf, unsigned long size, long offset);
	r_debug *getRDebug(Elf64_Dyn &debugEntry, r_debug &out);
	link_map *getLinkmap(unsigned long addr, link_map &out);
	unsigned long getNextPrStatus(Elf_Data *notes, unsigned long offset, elf_prstatus &out);
	unsigned long getStack(const elf_prstatus &status);
	Elf_Data *getStackData(const elf_prstatus &status, unsigned long &start);
	bool getString(unsigned long addr, std::vector<char> &out);
	// The next PT_LOAD header, from table index `index` on, whose mapping
	// was dumped; index moves past it. Null when there is none.
	Elf64_Phdr *findNextDumpedPhdr(size_t &index, Elf64_Phdr &out);
	// Chunk of the first page of a dumped mapping that begins with an ELF
	// header; null for any other mapping.
	Elf_Data *getModulePageData(const Elf64_Phdr &load);

	// For a Reader on a stream: bytes taken from the stream so far, and the
	// size of the core its headers describe.
	unsigned long getStreamRead() const { return streamRead; }
	unsigned long getCoreSize() const { return coreSize; }

private:
	Reader(int fd, Elf *elf);
	Reader(const Reader &) = delete;
	Reader &operator=(const Reader &) = delete;

	// A libelf chunk of size bytes at a file offset, refused when the offset
	// is negative; libelf itself refuses chunks that leave the file.
	Elf_Data *chunkAt(long offset, unsigned long size, Elf_Type type);
	// The first program header, in table order, that `match` accepts; null
	// when none does or a header cannot be fetched.
	template <typename Match> Elf64_Phdr *findPhdr(Elf64_Phdr &out, Match match);
	// The dumped, writable mapping a thread overflowed out of: it starts
	// above sp, within kStackGuardGap, and nothing the thread could have
	// used lies between them. Null when there is none.
	Elf64_Phdr *findStackAbove(unsigned long sp, Elf64_Phdr &out);

	// Bytes of the core at a file offset, as a file of coreSize bytes holds
	// them: the head from the stream, a dumped mapping's range from memory
	// (a page that cannot be read is zero, as the kernel writes it), and
	// zero between the ranges. Short only at the end of the core.
	long readVirtual(void *buf, unsigned long size, unsigned long offset);
	// A libelf chunk of bytes read by readVirtual, with the core's class and
	// byte order, owned by this Reader.
	Elf_Data *virtualChunk(unsigned long offset, unsigned long size, Elf_Type type);

	int fd;
	Elf *elf;

	// The dumped ranges of the program headers by address, with their
	// table index, when no two of them overlap: then the one range that
	// holds an address is also the first in table order, and a lookup
	// need not scan the table (a core may have tens of thousands of
	// mappings, and every record and name read is a lookup).
	void indexRanges();
	bool indexed = false, indexUsable = false;
	std::vector<std::pair<unsigned long, size_t> > byVaddr;

	// The PT_LOAD headers but the guards, by address (then table order),
	// each with the highest end address among it and those before it, so
	// that the lowest mapping reaching above a stack pointer is found by a
	// binary search, not by a scan of the table for every thread. Empty when
	// a header cannot be fetched; built at the first stack pointer that lies
	// in no dumped range.
	void indexReach();
	struct Reach {
		unsigned long vaddr;
		size_t index;
		unsigned long reach;
	};
	bool reachIndexed = false;
	std::vector<Reach> byReach;

	// Only for a Reader on a stream (memory set).
	struct Range {
		unsigned long offset, size, vaddr;
	};
	struct OwnedChunk {
		std::vector<char> image;
		Elf *elf = nullptr;
	};
	boost::shared_ptr<Memory> memory;
	std::vector<char> head;
	std::vector<Range> ranges; // dumped PT_LOAD ranges, by file offset
	std::list<OwnedChunk> chunks;
	unsigned long streamRead = 0, coreSize = 0, held = 0;
};

} // namespace Skelvane

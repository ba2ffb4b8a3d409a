// The one class that touches the core file: opens it through libelf and
// answers bounded lookups over its program headers, notes and memory.
#pragma once

#include <elf.h>
#include <gelf.h>
#include <libelf.h>
#include <link.h>
#include <sys/procfs.h>

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

class Reader {
public:
	// Opens the core read-only and starts libelf on it; prints a message and
	// gives a null pointer on failure.
	static boost::shared_ptr<Reader> openCoreFile(const char *path);
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
	// Calls visit on every program header in table order until it returns
	// true; false when the table cannot be read or a header fetched.
	template <typename Visit> bool scanPhdrs(Visit visit);
	// The dumped, writable mapping a thread overflowed out of: it starts
	// above sp, within kStackGuardGap, and nothing the thread could have
	// used lies between them. Null when there is none.
	Elf64_Phdr *findStackAbove(unsigned long sp, Elf64_Phdr &out);

	int fd;
	Elf *elf;
};

} // namespace Skelvane

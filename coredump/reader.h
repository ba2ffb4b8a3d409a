// The one class that touches the core: opens it through libelf, as a file
// or as a core stream, and answers bounded lookups over its program headers,
// notes and memory.
#pragma once

#include "core_stream.h"
#include "memory.h"

#include <elf.h>
#include <gelf.h>
#include <libelf.h>
#include <link.h>
#include <signal.h>
#include <sys/procfs.h>
#include <sys/ucontext.h>

#include <cstddef>
#include <cstdint>

#include <string>
#include <utility>
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

// The head of the frame the kernel builds for a signal handler on x86-64,
// at the handler's stack pointer when it is entered: the return address into
// the restorer, then the ucontext up to the machine context's pointer to the
// saved FP state. The interrupted registers are the context's gregs, in the
// order of REG_R8 ... REG_RIP.
struct SignalFrame {
	uint64_t pretcode;
	uint64_t ucFlags;
	uint64_t ucLink;
	// uc_stack: the alternate stack the thread had when the signal came
	uint64_t ssSp;
	int32_t ssFlags;
	int32_t ssPad;
	uint64_t ssSize;
	uint64_t gregs[NGREG];
	uint64_t fpstate;
};
static_assert(offsetof(SignalFrame, ucFlags) == 8 + offsetof(ucontext_t, uc_flags), "ucontext layout");
static_assert(offsetof(SignalFrame, ssSp) == 8 + offsetof(ucontext_t, uc_stack.ss_sp), "ucontext layout");
static_assert(offsetof(SignalFrame, ssFlags) == 8 + offsetof(ucontext_t, uc_stack.ss_flags), "ucontext layout");
static_assert(offsetof(SignalFrame, ssSize) == 8 + offsetof(ucontext_t, uc_stack.ss_size), "ucontext layout");
static_assert(offsetof(SignalFrame, gregs) == 8 + offsetof(ucontext_t, uc_mcontext.gregs), "ucontext layout");
static_assert(offsetof(SignalFrame, fpstate) == 8 + offsetof(ucontext_t, uc_mcontext.fpregs), "ucontext layout");

// What a signal frame on an alternate stack may look like. The kernel refuses
// alternate stacks below MINSIGSTKSZ; one above a gigabyte is no stack a
// handler runs on. Entering the alternate stack, the kernel puts the FP state
// at its top and the frame right below it: the largest FP state of any x86
// processor fits into kSignalFrameRoom with the frame. The handler's own
// frames between its stack pointer and the signal frame are searched for at
// most kSignalFrameScan bytes.
static const unsigned long kMinSignalStack = 2048;
static const unsigned long kMaxSignalStack = 1ul << 30;
static const unsigned long kSignalFrameRoom = 64ul * 1024;
static const unsigned long kSignalFrameScan = 1ul << 20;
// Flags the kernel may report for the alternate stack in a signal frame.
static const uint32_t kSignalStackFlags = SS_ONSTACK | (1u << 31) /* SS_AUTODISARM */;

// Size of the first page of a mapping, which holds a loaded object's ELF
// header, program headers and (as linkers lay it out) its build ID note.
static const unsigned long kModulePage = 4096;

class Reader {
public:
	// Opens the core file read-only and starts libelf on it. Both ways of
	// opening print nothing: on failure they give a null pointer and the
	// reason in why.
	static boost::shared_ptr<Reader> openCoreFile(const char *path, std::string &why);
	// Reads the head of a core stream (ELF header, program headers, notes)
	// from fd and answers every later lookup as if the whole core were a
	// file: the bytes of a dumped mapping come from memory instead.
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
	// The live part of the stack that holds sp, as getStackData keeps a
	// thread's, but ending at `limit` if that comes before the end of the
	// mapping's dumped part; null when sp is in no stack or nothing is left.
	Elf_Data *getStackDataAt(unsigned long sp, unsigned long &start, unsigned long limit = ~0ul);
	// The stack pointer a signal interrupted, when the stack chunk `stack`
	// (at process address start) holds, at or above sp, the frame the kernel
	// built on entering an alternate signal stack: a frame whose uc_stack
	// holds sp and the frame itself, that lies where the kernel puts it, and
	// whose interrupted stack pointer is outside that alternate stack. False
	// when there is none.
	bool findInterruptedSp(const Elf_Data *stack, unsigned long start, unsigned long sp, unsigned long &interrupted);
	bool getString(unsigned long addr, std::vector<char> &out);
	// The next PT_LOAD header, from table index `index` on, whose mapping
	// was dumped; index moves past it. Null when there is none.
	Elf64_Phdr *findNextDumpedPhdr(size_t &index, Elf64_Phdr &out);
	// Chunk of the first page of a dumped mapping that begins with an ELF
	// header; null for any other mapping.
	Elf_Data *getModulePageData(const Elf64_Phdr &load);

	// For a Reader on a stream: bytes taken from the stream so far, and the
	// size of the core its headers describe.
	unsigned long getStreamRead() const { return stream ? stream->getStreamRead() : 0; }
	unsigned long getCoreSize() const { return stream ? stream->getCoreSize() : 0; }

private:
	Reader(int fd, Elf *elf);
	explicit Reader(const boost::shared_ptr<CoreStream> &stream);
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
	// Whether addr lies in a mapping the process could execute.
	bool isExecutable(unsigned long addr);
	// Whether f, read at process address at, is the frame described at
	// findInterruptedSp for a handler whose stack pointer is sp.
	bool isAltStackFrame(const SignalFrame &f, unsigned long at, unsigned long sp);

	// A file's descriptor and libelf handle, or a stream, which owns its
	// handle (elf then is the stream's).
	int fd = -1;
	Elf *elf = nullptr;
	boost::shared_ptr<CoreStream> stream;

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
};

} // namespace Skelvane

#include "reader.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace Skelvane {

Reader::Reader(int fd_, Elf *elf_) : fd(fd_), elf(elf_) {}

Reader::Reader(const boost::shared_ptr<CoreStream> &stream_) : elf(stream_->getElf()), stream(stream_) {}

Reader::~Reader()
{
	// A stream ends its own handle and chunks.
	if (!stream)
		elf_end(elf);
	if (fd >= 0)
		close(fd);
}

namespace {
// Ends the handle and closes the descriptor when the Reader itself could not
// be made, so that nothing leaks on the way out of openCoreFile.
struct OpenGuard {
	int fd;
	Elf *elf;
	~OpenGuard()
	{
		if (elf)
			elf_end(elf);
		if (fd >= 0)
			close(fd);
	}
};
} // namespace

boost::shared_ptr<Reader> Reader::openCoreFile(const char *path, std::string &why)
{
	int fd = open(path, O_RDONLY);
	if (fd < 0) {
		const char *reason = strerror(errno);
		why = std::string("Failed to open file: ") + path + ". Reason:" + reason;
		return boost::shared_ptr<Reader>();
	}
	Elf *elf = nullptr;
	if (elf_version(EV_CURRENT) == EV_NONE || !(elf = elf_begin(fd, ELF_C_READ, nullptr))) {
		why = "Failed to start work with elf";
		close(fd);
		return boost::shared_ptr<Reader>();
	}
	OpenGuard guard{fd, elf};
	Reader *raw = new Reader(fd, elf);
	guard.fd = -1;
	guard.elf = nullptr;
	// The shared pointer owns raw from here on: if its count cannot be
	// allocated it deletes raw, whose destructor ends the handle.
	return boost::shared_ptr<Reader>(raw);
}

boost::shared_ptr<Reader> Reader::openCoreStream(int in, const boost::shared_ptr<Memory> &memory, std::string &why)
{
	boost::shared_ptr<CoreStream> stream = CoreStream::open(in, memory, why);
	if (!stream)
		return boost::shared_ptr<Reader>();
	return boost::shared_ptr<Reader>(new Reader(stream));
}

Elf64_Ehdr *Reader::getEhdr(Elf64_Ehdr &out)
{
	return gelf_getehdr(elf, &out);
}

template <typename Match> Elf64_Phdr *Reader::findPhdr(Elf64_Phdr &out, Match match)
{
	size_t n = 0;
	if (elf_getphdrnum(elf, &n) != 0 || n == 0)
		return nullptr;
	for (size_t i = 0; i < n; i++) {
		if (!gelf_getphdr(elf, (int)i, &out))
			return nullptr;
		if (match(out))
			return &out;
	}
	return nullptr;
}

Elf64_Phdr *Reader::findNotePhdr(Elf64_Phdr &out)
{
	return findPhdr(out, [](const Elf64_Phdr &h) { return h.p_type == PT_NOTE; });
}

Elf_Data *Reader::chunkAt(long offset, unsigned long size, Elf_Type type)
{
	if (offset < 0)
		return nullptr;
	if (stream)
		return stream->chunk((unsigned long)offset, size, type);
	return elf_getdata_rawchunk(elf, (int64_t)offset, size, type);
}

Elf_Data *Reader::getNoteData(const Elf64_Phdr &notePhdr)
{
	if (notePhdr.p_offset > (unsigned long)LONG_MAX)
		return nullptr;
	return chunkAt((long)notePhdr.p_offset, notePhdr.p_filesz, ELF_T_NHDR);
}

Elf_Data *Reader::getAuxvData(const Elf64_Phdr &notePhdr, Elf_Data *notes)
{
	if (!notes)
		return nullptr;
	GElf_Nhdr nhdr;
	size_t nameOff = 0, descOff = 0;
	size_t off = 0, next;
	while ((next = gelf_getnote(notes, off, &nhdr, &nameOff, &descOff)) > 0) {
		if (nhdr.n_type == NT_AUXV) {
			if (descOff > notes->d_size || nhdr.n_descsz > notes->d_size - descOff)
				return nullptr;
			unsigned long at = notePhdr.p_offset + descOff;
			if (at < notePhdr.p_offset || at > (unsigned long)LONG_MAX)
				return nullptr;
			return chunkAt((long)at, nhdr.n_descsz, ELF_T_AUXV);
		}
		off = next;
	}
	return nullptr;
}

Elf64_auxv_t *Reader::findAuxvByType(Elf_Data *auxv, unsigned int type, Elf64_auxv_t &out)
{
	if (!auxv)
		return nullptr;
	for (int i = 0; gelf_getauxv(auxv, i, &out); i++)
		if (out.a_type == type)
			return &out;
	return nullptr;
}

void Reader::indexRanges()
{
	indexed = true;
	size_t n = 0;
	if (elf_getphdrnum(elf, &n) != 0)
		return;
	std::vector<std::pair<unsigned long, unsigned long> > ends;
	for (size_t i = 0; i < n; i++) {
		Elf64_Phdr h;
		if (!gelf_getphdr(elf, (int)i, &h) || h.p_vaddr + h.p_filesz < h.p_vaddr)
			return;
		if (h.p_filesz > 0) {
			byVaddr.push_back({h.p_vaddr, i});
			ends.push_back({h.p_vaddr, h.p_vaddr + h.p_filesz});
		}
	}
	std::sort(byVaddr.begin(), byVaddr.end());
	std::sort(ends.begin(), ends.end());
	for (size_t i = 1; i < ends.size(); i++)
		if (ends[i].first < ends[i - 1].second)
			return;
	indexUsable = true;
}

Elf64_Phdr *Reader::findPhdrByVaddr(unsigned long vaddr, Elf64_Phdr &out)
{
	if (!indexed)
		indexRanges();
	if (indexUsable) {
		auto at = std::upper_bound(byVaddr.begin(), byVaddr.end(), std::make_pair(vaddr, ~(size_t)0));
		if (at == byVaddr.begin() || !gelf_getphdr(elf, (int)(at - 1)->second, &out))
			return nullptr;
		return vaddr - out.p_vaddr < out.p_filesz ? &out : nullptr;
	}
	// Written as a distance so that a header whose range wraps past the top
	// of the address space cannot overflow the comparison.
	return findPhdr(out, [vaddr](const Elf64_Phdr &h) {
		return vaddr >= h.p_vaddr && vaddr - h.p_vaddr < h.p_filesz;
	});
}

long Reader::findOffsetByVaddr(unsigned long vaddr)
{
	Elf64_Phdr ph;
	if (!findPhdrByVaddr(vaddr, ph))
		return -1;
	unsigned long delta = vaddr - ph.p_vaddr;
	if (ph.p_offset > (unsigned long)LONG_MAX - delta)
		return -1;
	return (long)(ph.p_offset + delta);
}

Elf_Data *Reader::getDynData(Elf64_Phdr &dynPhdr)
{
	return chunkAt(findOffsetByVaddr(dynPhdr.p_vaddr), dynPhdr.p_filesz, ELF_T_DYN);
}

Elf64_Dyn *Reader::findDynByTag(Elf_Data *dyn, long tag, Elf64_Dyn &out)
{
	if (!dyn)
		return nullptr;
	// Runs to the end of the chunk: entries after a DT_NULL are searched too.
	for (int i = 0; gelf_getdyn(dyn, i, &out); i++)
		if (out.d_tag == tag)
			return &out;
	return nullptr;
}

Elf_Data *Reader::getExecPhdrData(Elf_Data *auxv)
{
	Elf64_auxv_t phnum, phdr, phent;
	if (!findAuxvByType(auxv, AT_PHNUM, phnum) || !findAuxvByType(auxv, AT_PHDR, phdr) ||
	    !findAuxvByType(auxv, AT_PHENT, phent))
		return nullptr;
	unsigned long size;
	if (__builtin_mul_overflow(phent.a_un.a_val, phnum.a_un.a_val, &size))
		return nullptr;
	return chunkAt(findOffsetByVaddr(phdr.a_un.a_val), size, ELF_T_PHDR);
}

Elf64_Phdr *Reader::findExecPhdrByType(Elf_Data *phdrs, unsigned int type, Elf64_Phdr &out)
{
	if (!phdrs || !phdrs->d_buf)
		return nullptr;
	size_t identSize = 0;
	const char *ident = elf_getident(elf, &identSize);
	bool is32 = ident && identSize > EI_CLASS && ident[EI_CLASS] == ELFCLASS32;
	const char *base = static_cast<const char *>(phdrs->d_buf);
	if (is32) {
		size_t n = phdrs->d_size / sizeof(Elf32_Phdr);
		for (size_t i = 0; i < n; i++) {
			Elf32_Phdr p;
			memcpy(&p, base + i * sizeof(p), sizeof(p));
			if (p.p_type != type)
				continue;
			out.p_type = p.p_type;
			out.p_flags = p.p_flags;
			out.p_offset = p.p_offset;
			out.p_vaddr = p.p_vaddr;
			out.p_paddr = p.p_paddr;
			out.p_filesz = p.p_filesz;
			out.p_memsz = p.p_memsz;
			out.p_align = p.p_align;
			return &out;
		}
		return nullptr;
	}
	size_t n = phdrs->d_size / sizeof(Elf64_Phdr);
	for (size_t i = 0; i < n; i++) {
		Elf64_Phdr p;
		memcpy(&p, base + i * sizeof(p), sizeof(p));
		if (p.p_type == type) {
			out = p;
			return &out;
		}
	}
	return nullptr;
}

long Reader::readCoreData(void *buf, unsigned long size, long offset)
{
	if (!buf)
		return -1;
	if (stream)
		return offset < 0 ? -1 : stream->read(buf, size, (unsigned long)offset);
	return (long)pread(fd, buf, size, offset);
}

r_debug *Reader::getRDebug(Elf64_Dyn &debugEntry, r_debug &out)
{
	long off = findOffsetByVaddr(debugEntry.d_un.d_ptr);
	if (off < 0 || readCoreData(&out, sizeof(out), off) != (long)sizeof(out))
		return nullptr;
	return &out;
}

link_map *Reader::getLinkmap(unsigned long addr, link_map &out)
{
	long off = findOffsetByVaddr(addr);
	if (off < 0 || readCoreData(&out, sizeof(out), off) != (long)sizeof(out))
		return nullptr;
	return &out;
}

unsigned long Reader::getNextPrStatus(Elf_Data *notes, unsigned long offset, elf_prstatus &out)
{
	if (!notes || !notes->d_buf)
		return 0;
	GElf_Nhdr nhdr;
	size_t nameOff = 0, descOff = 0;
	size_t off = offset, next;
	while ((next = gelf_getnote(notes, off, &nhdr, &nameOff, &descOff)) > 0) {
		// A status record shorter than the x86-64 layout is not one this
		// program can read a stack pointer from: it is passed over, and the
		// copy never leaves the descriptor.
		if (nhdr.n_type == NT_PRSTATUS && nhdr.n_descsz >= kPrStatusSize &&
		    descOff <= notes->d_size && notes->d_size - descOff >= kPrStatusSize) {
			memcpy(&out, static_cast<const char *>(notes->d_buf) + descOff, kPrStatusSize);
			return next;
		}
		off = next;
	}
	return 0;
}

unsigned long Reader::getStack(const elf_prstatus &status)
{
	return status.pr_reg[kStackRegister];
}

void Reader::indexReach()
{
	reachIndexed = true;
	size_t n = 0;
	if (elf_getphdrnum(elf, &n) != 0)
		return;
	for (size_t i = 0; i < n; i++) {
		Elf64_Phdr h;
		if (!gelf_getphdr(elf, (int)i, &h)) {
			byReach.clear();
			return;
		}
		// guards: mappings nobody may touch, which hold nothing
		if (h.p_type != PT_LOAD || (h.p_filesz == 0 && !(h.p_flags & (PF_R | PF_W | PF_X))))
			continue;
		unsigned long size = std::max(h.p_memsz, h.p_filesz), end;
		if (__builtin_add_overflow(h.p_vaddr, size, &end))
			end = ULONG_MAX;
		byReach.push_back({h.p_vaddr, i, end});
	}
	std::stable_sort(byReach.begin(), byReach.end(), [](const Reach &a, const Reach &b) { return a.vaddr < b.vaddr; });
	for (size_t i = 1; i < byReach.size(); i++)
		byReach[i].reach = std::max(byReach[i].reach, byReach[i - 1].reach);
}

Elf64_Phdr *Reader::findStackAbove(unsigned long sp, Elf64_Phdr &out)
{
	// The lowest mapping that reaches above sp, leaving out the guards. If
	// that is not a dumped, writable mapping starting above sp, sp is not in
	// a gap below a stack: it points into memory of some other kind, or the
	// stack was not dumped.
	if (!reachIndexed)
		indexReach();
	auto at = std::upper_bound(byReach.begin(), byReach.end(), sp,
				   [](unsigned long a, const Reach &r) { return a < r.reach; });
	if (at == byReach.end() || !gelf_getphdr(elf, (int)at->index, &out) || out.p_vaddr <= sp ||
	    out.p_vaddr - sp > kStackGuardGap || out.p_filesz == 0 || !(out.p_flags & PF_W))
		return nullptr;
	return &out;
}

Elf_Data *Reader::getStackData(const elf_prstatus &status, unsigned long &start)
{
	return getStackDataAt(getStack(status), start);
}

Elf_Data *Reader::getStackDataAt(unsigned long sp, unsigned long &start, unsigned long limit)
{
	Elf64_Phdr ph;
	unsigned long s;
	if (findPhdrByVaddr(sp, ph)) {
		// Keep from the start of the aligned block holding sp; without an
		// alignment the live stack starts at sp itself. The start never
		// goes below the mapping, whatever its alignment claims.
		s = ph.p_align ? (sp / ph.p_align) * ph.p_align : sp;
		if (s < ph.p_vaddr)
			s = ph.p_vaddr;
	} else if (findStackAbove(sp, ph)) {
		// An overflow: the page the thread faulted on holds nothing, but
		// every frame above it, return addresses included, lies in the
		// mapping, which is therefore live as a whole.
		s = ph.p_vaddr;
	} else {
		return nullptr;
	}
	unsigned long delta = s - ph.p_vaddr, size = ph.p_filesz - delta;
	if (limit <= s)
		return nullptr;
	size = std::min(size, limit - s);
	start = s;
	if (ph.p_offset > (unsigned long)LONG_MAX - delta)
		return nullptr;
	return chunkAt((long)(ph.p_offset + delta), size, ELF_T_BYTE);
}

bool Reader::isExecutable(unsigned long addr)
{
	Elf64_Phdr found;
	return findPhdr(found, [addr](const Elf64_Phdr &h) {
		return h.p_type == PT_LOAD && (h.p_flags & PF_X) && addr >= h.p_vaddr &&
		       addr - h.p_vaddr < std::max(h.p_memsz, h.p_filesz);
	});
}

bool Reader::isAltStackFrame(const SignalFrame &f, unsigned long at, unsigned long sp)
{
	// The alternate stack the frame names must be sane and hold both the
	// handler's stack pointer and the whole frame.
	unsigned long top;
	if (f.ssSize < kMinSignalStack || f.ssSize > kMaxSignalStack || __builtin_add_overflow(f.ssSp, f.ssSize, &top) ||
	    ((uint32_t)f.ssFlags & ~kSignalStackFlags) != 0 || sp < f.ssSp || sp >= top || at < f.ssSp ||
	    top - at < sizeof(SignalFrame))
		return false;
	// Entering the alternate stack the kernel puts the frame just below the
	// FP state at the top, 8 bytes off a 16-byte boundary (as a call would
	// leave it); a frame of a signal that came while the thread already was
	// on the alternate stack interrupted nothing this stack does not hold.
	unsigned long rsp = f.gregs[REG_RSP];
	if (at % 16 != 8 || top - at > kSignalFrameRoom || (rsp >= f.ssSp && rsp < top))
		return false;
	if (f.fpstate != 0 && (f.fpstate <= at || f.fpstate >= top))
		return false;
	// The handler returns into the restorer, which is code.
	return isExecutable(f.pretcode);
}

bool Reader::findInterruptedSp(const Elf_Data *stack, unsigned long start, unsigned long sp, unsigned long &interrupted)
{
	if (!stack || !stack->d_buf || sp < start || sp - start >= stack->d_size)
		return false;
	const char *bytes = static_cast<const char *>(stack->d_buf);
	unsigned long size = stack->d_size, from = sp - start;
	// from the first place at or above sp that is 8 off a 16-byte boundary
	for (unsigned long off = from + (24 - sp % 16) % 16;
	     off <= size && size - off >= sizeof(SignalFrame) && off - from <= kSignalFrameScan; off += 16) {
		// Most places are no frame: their uc_stack alone rules them out.
		uint64_t ssSp, ssSize;
		memcpy(&ssSp, bytes + off + offsetof(SignalFrame, ssSp), sizeof(ssSp));
		memcpy(&ssSize, bytes + off + offsetof(SignalFrame, ssSize), sizeof(ssSize));
		if (ssSize < kMinSignalStack || sp < ssSp || sp - ssSp >= ssSize)
			continue;
		SignalFrame f;
		memcpy(&f, bytes + off, sizeof(f));
		if (isAltStackFrame(f, start + off, sp)) {
			interrupted = f.gregs[REG_RSP];
			return true;
		}
	}
	return false;
}

bool Reader::getString(unsigned long addr, std::vector<char> &out)
{
	long off = findOffsetByVaddr(addr);
	if (off < 0) {
		out.assign(1, '\0');
		return true;
	}
	out.assign(kMaxString, '\0');
	long n = readCoreData(out.data(), kMaxString, off);
	if (n <= 0) {
		out.clear();
		return false;
	}
	size_t len = strnlen(out.data(), (size_t)n);
	if (len == (size_t)n) {
		out.clear();
		return false;
	}
	out.resize(len + 1);
	return true;
}

Elf64_Phdr *Reader::findNextDumpedPhdr(size_t &index, Elf64_Phdr &out)
{
	size_t n = 0;
	if (elf_getphdrnum(elf, &n) != 0)
		return nullptr;
	while (index < n) {
		if (!gelf_getphdr(elf, (int)index++, &out))
			return nullptr;
		if (out.p_type == PT_LOAD && out.p_filesz > 0)
			return &out;
	}
	return nullptr;
}

Elf_Data *Reader::getModulePageData(const Elf64_Phdr &load)
{
	char magic[SELFMAG];
	if (load.p_filesz < SELFMAG || load.p_offset > (unsigned long)LONG_MAX ||
	    readCoreData(magic, SELFMAG, (long)load.p_offset) != SELFMAG || memcmp(magic, ELFMAG, SELFMAG) != 0)
		return nullptr;
	return chunkAt((long)load.p_offset, std::min(load.p_filesz, kModulePage), ELF_T_BYTE);
}

} // namespace Skelvane

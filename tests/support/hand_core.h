// Builds small ELF core files in memory for the cases the kernel never
// writes: missing notes, broken chains, truncation, odd classes. Header-only
// and free of the stripper's own code, so that the fuzz seed generator can
// use it too.
#pragma once

#include <elf.h>
#include <link.h>
#include <sys/procfs.h>
#include <sys/ucontext.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace handcore {

typedef std::vector<uint8_t> Bytes;

struct Seg {
	Elf64_Phdr ph;
	Bytes data;        // the file bytes (p_filesz of them unless rawOffset)
	bool isNote = false;
	bool rawOffset = false; // keep ph.p_offset/p_filesz as given, add no bytes
};

class CoreImage {
public:
	Elf64_Ehdr ehdr;
	std::vector<Seg> segs;
	std::vector<std::pair<uint32_t, Bytes> > notes;

	CoreImage()
	{
		memset(&ehdr, 0, sizeof(ehdr));
		memcpy(ehdr.e_ident, ELFMAG, SELFMAG);
		ehdr.e_ident[EI_CLASS] = ELFCLASS64;
		ehdr.e_ident[EI_DATA] = ELFDATA2LSB;
		ehdr.e_ident[EI_VERSION] = EV_CURRENT;
		ehdr.e_type = ET_CORE;
		ehdr.e_machine = EM_X86_64;
		ehdr.e_version = EV_CURRENT;
		ehdr.e_ehsize = sizeof(Elf64_Ehdr);
		ehdr.e_phentsize = sizeof(Elf64_Phdr);
	}

	// The note segment's program header, placed at the current end of the
	// table (Linux puts it first).
	void addNoteSegment()
	{
		Seg s;
		memset(&s.ph, 0, sizeof(s.ph));
		s.ph.p_type = PT_NOTE;
		s.ph.p_align = 4;
		s.isNote = true;
		segs.push_back(s);
	}

	// A memory mapping; dumped ones carry size zero bytes to poke into.
	Seg &map(uint64_t vaddr, uint64_t size, bool dumped = true, uint64_t align = 0x1000)
	{
		Seg s;
		memset(&s.ph, 0, sizeof(s.ph));
		s.ph.p_type = PT_LOAD;
		s.ph.p_flags = PF_R | PF_W;
		s.ph.p_vaddr = vaddr;
		s.ph.p_memsz = size;
		s.ph.p_filesz = dumped ? size : 0;
		s.ph.p_align = align;
		if (dumped)
			s.data.assign(size, 0);
		segs.push_back(s);
		return segs.back();
	}

	void poke(uint64_t vaddr, const void *p, size_t n)
	{
		for (auto &s : segs)
			if (!s.isNote && vaddr >= s.ph.p_vaddr && vaddr + n <= s.ph.p_vaddr + s.data.size()) {
				memcpy(&s.data[vaddr - s.ph.p_vaddr], p, n);
				return;
			}
		throw std::runtime_error("poke outside the mappings");
	}
	template <class T> void put(uint64_t vaddr, const T &v) { poke(vaddr, &v, sizeof(v)); }
	void peek(uint64_t vaddr, void *p, size_t n) const
	{
		for (auto &s : segs)
			if (!s.isNote && vaddr >= s.ph.p_vaddr && vaddr + n <= s.ph.p_vaddr + s.data.size()) {
				memcpy(p, &s.data[vaddr - s.ph.p_vaddr], n);
				return;
			}
		throw std::runtime_error("peek outside the mappings");
	}
	template <class T> T get(uint64_t vaddr) const
	{
		T v;
		peek(vaddr, &v, sizeof(v));
		return v;
	}
	void putString(uint64_t vaddr, const std::string &s) { poke(vaddr, s.c_str(), s.size() + 1); }

	void addNote(uint32_t type, const Bytes &desc) { notes.push_back({type, desc}); }
	void addPrStatus(uint64_t rsp, size_t descsz = sizeof(elf_prstatus), int pid = 100)
	{
		elf_prstatus st;
		memset(&st, 0, sizeof(st));
		st.pr_pid = pid;
		st.pr_reg[19] = rsp;
		Bytes b((const uint8_t *)&st, (const uint8_t *)&st + sizeof(st));
		b.resize(descsz, 0);
		addNote(NT_PRSTATUS, b);
	}
	void addAuxv(const std::vector<std::pair<uint64_t, uint64_t> > &entries)
	{
		Bytes b;
		for (auto &e : entries) {
			Elf64_auxv_t a;
			a.a_type = e.first;
			a.a_un.a_val = e.second;
			b.insert(b.end(), (const uint8_t *)&a, (const uint8_t *)&a + sizeof(a));
		}
		addNote(NT_AUXV, b);
	}

	// NT_SIGINFO: the signal, its code and (for a fault) its address.
	void addSigInfo(int signo, int code, uint64_t addr)
	{
		Bytes b(128, 0);
		memcpy(&b[0], &signo, 4);
		memcpy(&b[8], &code, 4);
		memcpy(&b[16], &addr, 8);
		addNote(0x53494749, b);
	}
	// NT_PRPSINFO: the process's ids, name and arguments.
	void addPrPsInfo(unsigned uid, unsigned gid, int pid, const std::string &name, const std::string &args)
	{
		elf_prpsinfo p;
		memset(&p, 0, sizeof(p));
		p.pr_uid = uid;
		p.pr_gid = gid;
		p.pr_pid = pid;
		strncpy(p.pr_fname, name.c_str(), sizeof(p.pr_fname) - 1);
		strncpy(p.pr_psargs, args.c_str(), sizeof(p.pr_psargs) - 1);
		addNote(NT_PRPSINFO, Bytes((const uint8_t *)&p, (const uint8_t *)&p + sizeof(p)));
	}
	// NT_FILE: mappings of files (start, end, offset in bytes, name), pages
	// of 4 KiB.
	struct Mapped {
		uint64_t start, end, offset;
		std::string path;
	};
	void addFileNote(const std::vector<Mapped> &files)
	{
		Bytes b;
		uint64_t head[2] = {files.size(), 4096};
		append(b, head, sizeof(head));
		for (auto &f : files) {
			uint64_t e[3] = {f.start, f.end, f.offset / 4096};
			append(b, e, sizeof(e));
		}
		for (auto &f : files)
			append(b, f.path.c_str(), f.path.size() + 1);
		addNote(0x46494c45, b);
	}
	// Sets the pc of the i-th thread status note.
	void setThreadPc(size_t i, uint64_t pc)
	{
		for (auto &n : notes)
			if (n.first == NT_PRSTATUS && i-- == 0) {
				memcpy(&n.second[offsetof(elf_prstatus, pr_reg) + 16 * 8], &pc, 8);
				return;
			}
	}

	Bytes noteBytes() const
	{
		Bytes out;
		for (auto &n : notes) {
			Elf64_Nhdr h;
			h.n_namesz = 5;
			h.n_descsz = (uint32_t)n.second.size();
			h.n_type = n.first;
			append(out, &h, sizeof(h));
			append(out, "CORE\0\0\0", 8);
			append(out, n.second.data(), n.second.size());
			out.resize((out.size() + 3) & ~size_t(3), 0);
		}
		return out;
	}

	Bytes bytes() const
	{
		Elf64_Ehdr h = ehdr;
		h.e_phoff = segs.empty() ? 0 : sizeof(Elf64_Ehdr);
		h.e_phnum = (uint16_t)segs.size();
		Bytes out;
		append(out, &h, sizeof(h));
		size_t tableAt = out.size();
		out.resize(tableAt + segs.size() * sizeof(Elf64_Phdr), 0);
		Bytes nb = noteBytes();
		for (size_t i = 0; i < segs.size(); i++) {
			Elf64_Phdr ph = segs[i].ph;
			const Bytes &d = segs[i].isNote ? nb : segs[i].data;
			if (!segs[i].rawOffset) {
				ph.p_offset = out.size();
				ph.p_filesz = segs[i].isNote ? d.size() : ph.p_filesz;
				append(out, d.data(), d.size());
			}
			memcpy(&out[tableAt + i * sizeof(ph)], &ph, sizeof(ph));
		}
		return out;
	}

	void write(const std::string &path, size_t truncateTo = SIZE_MAX) const
	{
		Bytes b = bytes();
		if (truncateTo < b.size())
			b.resize(truncateTo);
		std::ofstream f(path, std::ios::binary | std::ios::trunc);
		f.write((const char *)b.data(), (std::streamsize)b.size());
	}

	static void append(Bytes &out, const void *p, size_t n)
	{
		out.insert(out.end(), (const uint8_t *)p, (const uint8_t *)p + n);
	}
};

// The process a standard hand-built core describes: an executable with its
// program headers and dynamic section, the dynamic linker's records, three
// loaded objects and two threads.
struct Layout {
	bool pie = false;
	bool withNote = true;
	bool withAuxv = true;
	bool withDynamic = true;     // PT_DYNAMIC among the executable's headers
	bool withPhdr = true;        // PT_PHDR among the executable's headers
	bool withDebug = true;       // DT_DEBUG in the dynamic section
	bool zeroRMap = false;
	int threads = 2;
	std::vector<std::string> names = {"", "/lib/x86_64-linux-gnu/libpthread.so.0",
					  "/lib/x86_64-linux-gnu/libc.so.6"};

	uint64_t base() const { return pie ? 0x555555554000ull : 0; }
	// Link-time addresses in the executable; a PIE links at 0.
	uint64_t linkPhdr() const { return (pie ? 0 : 0x400000ull) + 0x40; }
	uint64_t linkDynamic() const { return (pie ? 0 : 0x400000ull) + 0x1000; }
	uint64_t exeStart() const { return pie ? base() : 0x400000ull; }
	uint64_t phdrAddr() const { return base() + linkPhdr(); }
	uint64_t dynamicAddr() const { return base() + linkDynamic(); }
	static constexpr uint64_t kData = 0x600000;      // r_debug, link_maps, names
	static constexpr uint64_t kRDebug = kData;
	static uint64_t linkmapAddr(size_t i) { return kData + 0x100 + 0x40 * i; }
	static uint64_t nameAddr(size_t i) { return kData + 0x800 + 0x100 * i; }
	static constexpr uint64_t kStack = 0x7ffff0000000ull; // 4 pages
	static uint64_t threadSp(int t) { return kStack + 0x3000 - 0x1000 * t + 0x123 * (t + 1); }
	static constexpr size_t kDynEntries = 4;
};

inline CoreImage standardCore(const Layout &L = Layout())
{
	CoreImage c;
	if (L.withNote)
		c.addNoteSegment();
	for (int t = 0; t < L.threads; t++)
		c.addPrStatus(Layout::threadSp(t), sizeof(elf_prstatus), 100 + t);
	if (L.withAuxv)
		c.addAuxv({{AT_PHDR, L.phdrAddr()}, {AT_PHENT, sizeof(Elf64_Phdr)}, {AT_PHNUM, 3},
			   {AT_PAGESZ, 4096}, {AT_NULL, 0}});

	c.map(L.exeStart(), 0x2000);
	c.map(Layout::kData, 0x1000);
	c.map(0x7ffff7000000ull, 0x10000, false); // a library mapping that was not dumped
	c.map(Layout::kStack, 0x4000);

	std::vector<Elf64_Phdr> ph;
	auto mk = [](uint32_t type, uint64_t vaddr, uint64_t size) {
		Elf64_Phdr p;
		memset(&p, 0, sizeof(p));
		p.p_type = type;
		p.p_flags = PF_R;
		p.p_vaddr = vaddr;
		p.p_filesz = p.p_memsz = size;
		p.p_align = 8;
		return p;
	};
	ph.push_back(L.withPhdr ? mk(PT_PHDR, L.linkPhdr(), 3 * sizeof(Elf64_Phdr)) : mk(PT_NULL, 0, 0));
	ph.push_back(mk(PT_LOAD, L.linkPhdr() - 0x40, 0x2000));
	ph.push_back(L.withDynamic ? mk(PT_DYNAMIC, L.linkDynamic(), Layout::kDynEntries * sizeof(Elf64_Dyn))
				   : mk(PT_NOTE, 0, 0));
	ph[2].p_flags = PF_R | PF_W;
	for (size_t i = 0; i < ph.size(); i++)
		c.put(L.phdrAddr() + i * sizeof(Elf64_Phdr), ph[i]);

	Elf64_Dyn dyn[Layout::kDynEntries];
	memset(dyn, 0, sizeof(dyn));
	dyn[0].d_tag = DT_NEEDED;
	dyn[0].d_un.d_val = 1;
	dyn[1].d_tag = L.withDebug ? DT_DEBUG : DT_FLAGS;
	dyn[1].d_un.d_ptr = Layout::kRDebug;
	dyn[2].d_tag = DT_NULL;
	dyn[3].d_tag = DT_NULL;
	c.poke(L.dynamicAddr(), dyn, sizeof(dyn));

	r_debug rd;
	memset(&rd, 0, sizeof(rd));
	rd.r_version = 1;
	rd.r_map = L.zeroRMap || L.names.empty() ? nullptr : (link_map *)Layout::linkmapAddr(0);
	c.put(Layout::kRDebug, rd);
	for (size_t i = 0; i < L.names.size(); i++) {
		link_map m;
		memset(&m, 0, sizeof(m));
		m.l_addr = 0x1000 * i;
		m.l_name = (char *)Layout::nameAddr(i);
		m.l_next = i + 1 < L.names.size() ? (link_map *)Layout::linkmapAddr(i + 1) : nullptr;
		m.l_prev = i ? (link_map *)Layout::linkmapAddr(i - 1) : nullptr;
		c.put(Layout::linkmapAddr(i), m);
		c.putString(Layout::nameAddr(i), L.names[i]);
	}
	// recognisable stack contents
	for (uint64_t a = Layout::kStack; a < Layout::kStack + 0x4000; a += 8)
		c.put(a, a ^ 0x5a5a5a5a5a5a5a5aull);
	return c;
}

// Changes the dynamic linker's record of the i-th loaded object of a
// standard core: `change` gets the record as the core holds it, and what it
// leaves there is written back.
template <class F> void patchLinkmap(CoreImage &c, size_t i, F change)
{
	link_map m = c.get<link_map>(Layout::linkmapAddr(i));
	change(m);
	c.put(Layout::linkmapAddr(i), m);
}

// The head of the frame the kernel builds on a signal handler's stack, laid
// out from the C library's ucontext: the restorer's address, then the
// context up to its signal mask.
struct SignalFrame {
	uint64_t at;          // where the frame starts (the handler's first sp)
	uint64_t pretcode;    // the restorer
	uint64_t altSp, altSize; // uc_stack
	int altFlags = 0;
	uint64_t rsp = 0, rip = 0; // the interrupted registers
	uint64_t fpstate = 0;      // where the FP state was saved
};

inline void putSignalFrame(CoreImage &c, const SignalFrame &f)
{
	ucontext_t uc;
	memset(&uc, 0, sizeof(uc));
	uc.uc_stack.ss_sp = (void *)f.altSp;
	uc.uc_stack.ss_size = f.altSize;
	uc.uc_stack.ss_flags = f.altFlags;
	uc.uc_mcontext.gregs[REG_RSP] = (greg_t)f.rsp;
	uc.uc_mcontext.gregs[REG_RIP] = (greg_t)f.rip;
	uc.uc_mcontext.fpregs = (fpregset_t)f.fpstate;
	c.put(f.at, f.pretcode);
	c.poke(f.at + 8, &uc, offsetof(ucontext_t, uc_sigmask));
}

// Index of the mapping holding vaddr, for tests that reshape it.
inline Seg &segAt(CoreImage &c, uint64_t vaddr)
{
	for (auto &s : c.segs)
		if (!s.isNote && vaddr >= s.ph.p_vaddr && vaddr < s.ph.p_vaddr + s.ph.p_memsz)
			return s;
	throw std::runtime_error("no mapping");
}

} // namespace handcore

#include "record_builder.h"

#include "builder.h"
#include "core_notes.h"
#include "module_file.h"

#include <unistd.h>

#include <climits>
#include <cstring>
#include <map>

namespace Skelvane {

namespace {

// Most of the kernel's virtual library that a thread's pc is looked for in.
const uint64_t kVdsoSpan = 64 << 10;

struct LinkEntry {
	uint64_t lAddr = 0, lLd = 0;
	std::string name;
};

// The dynamic linker's chain of loaded objects, as the stripper follows it,
// with each object's name as the process has it (the stripped core's copy
// of a name may be changed for the debugger's sake).
std::vector<LinkEntry> readLinkChain(Reader &reader)
{
	std::vector<LinkEntry> chain;
	Builder builder(reader);
	Result result;
	if (!builder.readLinkmaps() || !builder.getResult(result))
		return chain;
	for (auto &s : result.segments) {
		const Linkmap *l = dynamic_cast<const Linkmap *>(s.get());
		if (!l)
			continue;
		LinkEntry e;
		e.lAddr = (uint64_t)l->map.l_addr;
		e.lLd = (uint64_t)l->map.l_ld;
		std::vector<char> name;
		if (reader.getString((unsigned long)l->map.l_name, name) && !name.empty())
			e.name.assign(name.data(), strnlen(name.data(), name.size()));
		chain.push_back(e);
	}
	return chain;
}

// Bytes of the process at addr, as many as the core holds up to size.
std::vector<char> readMemory(Reader &reader, uint64_t addr, size_t size)
{
	std::vector<char> out;
	long off = reader.findOffsetByVaddr(addr);
	if (off < 0)
		return out;
	out.resize(size);
	long n = reader.readCoreData(out.data(), size, off);
	out.resize(n > 0 ? (size_t)n : 0);
	return out;
}

// What the record needs of a module beyond what it shows.
struct ModuleWork {
	uint64_t bias = 0;           // added to its link-time addresses
	bool biasFromFile = false;   // to be worked out from its file's headers
	const FileMapping *mapping = nullptr;
	bool isExecutable = false;
};

// Where the file mapped at m begins in memory: the latest mapping of the
// same file from its first byte at or below m.
uint64_t baseOf(const CoreNotes &notes, const FileMapping &m)
{
	uint64_t base = m.start - std::min(m.start, m.offset);
	bool found = false;
	for (auto &f : notes.files)
		if (f.offset == 0 && f.path == m.path && f.start <= m.start && (!found || f.start > base)) {
			base = f.start;
			found = true;
		}
	return base;
}

// The notes of the core behind reader; false when it has none.
bool notesOf(Reader &reader, CoreNotes &notes)
{
	Elf64_Phdr notePhdr;
	Elf_Data *noteData = reader.findNotePhdr(notePhdr) ? reader.getNoteData(notePhdr) : nullptr;
	if (!noteData || !noteData->d_buf)
		return false;
	notes = readCoreNotes(noteData->d_buf, noteData->d_size);
	return true;
}

// The signal, and what the process note holds that /proc did not give.
void recordNotes(CrashRecord &r, const CoreNotes &notes)
{
	if (notes.signal.present) {
		r.hasSignal = true;
		r.signal = notes.signal.number;
		r.signalCode = notes.signal.code;
		r.hasAddress = notes.signal.hasAddress;
		r.address = notes.signal.address;
		r.hasSender = notes.signal.hasSender;
		r.senderPid = notes.signal.senderPid;
		r.senderUid = notes.signal.senderUid;
	} else if (!notes.threads.empty() && notes.threads[0].signal) {
		r.hasSignal = true;
		r.signal = notes.threads[0].signal;
	}
	if (!notes.process.present)
		return;
	if (!r.hasIds) {
		r.hasIds = true;
		r.uid = notes.process.uid;
		r.gid = notes.process.gid;
	}
	if (!r.pid)
		r.pid = notes.process.pid;
	else if (!r.pidInNs && notes.process.pid != r.pid)
		r.pidInNs = notes.process.pid;
	if (r.cmdline.empty() && !notes.process.psargs.empty()) {
		r.cmdline.push_back(notes.process.psargs);
		// the note holds 80 bytes with their NUL
		r.cmdlineCut = notes.process.psargs.size() >= 79;
	}
	if (r.comm.empty())
		r.comm = notes.process.name;
}

} // namespace

void recordProcess(CrashRecord &r, const ProcessInfo &info)
{
	r.executable = info.exe;
	r.cmdline = info.cmdline;
	r.cmdlineCut = info.cmdlineCut;
	r.cgroup = info.cgroup;
	if (info.hasIds) {
		r.hasIds = true;
		r.uid = info.uid;
		r.gid = info.gid;
	}
	if (info.nspid.size() >= 2 && info.nspid.back() != info.nspid.front())
		r.pidInNs = info.nspid.back();
}

void recordSignal(CrashRecord &r, Reader &reader)
{
	CoreNotes notes;
	if (notesOf(reader, notes))
		recordNotes(r, notes);
}

void recordCore(CrashRecord &r, Reader &reader, const ProcessFiles *live,
		const std::vector<std::pair<long, long> > &threadIds)
{
	CoreNotes notes;
	if (!notesOf(reader, notes))
		return;
	recordNotes(r, notes);
	uint64_t atPhdr = notes.auxvValue(AT_PHDR), vdso = notes.auxvValue(AT_SYSINFO_EHDR);
	if (r.executable.empty()) {
		// the kernel's name of the file mapped where the program headers
		// are, else the name the program was started by
		if (const FileMapping *f = atPhdr ? notes.fileAt(atPhdr) : nullptr) {
			r.executable = f->path;
		} else if (uint64_t execfn = notes.auxvValue(AT_EXECFN)) {
			std::vector<char> name;
			if (reader.getString(execfn, name) && !name.empty())
				r.executable.assign(name.data(), strnlen(name.data(), name.size()));
		}
	}

	// modules: the dynamic linker's, else every ELF file the kernel mapped
	std::vector<ModuleWork> work;
	std::vector<LinkEntry> chain = readLinkChain(reader);
	for (size_t i = 0; i < chain.size(); i++) {
		if (r.modules.size() >= kMaxRecordModules) {
			r.modulesLeftOut++;
			continue;
		}
		const LinkEntry &e = chain[i];
		RecordModule m;
		ModuleWork w;
		w.bias = e.lAddr;
		w.isExecutable = i == 0 && e.name.empty();
		m.path = w.isExecutable ? r.executable : e.name;
		w.mapping = e.lLd ? notes.fileAt(e.lLd) : nullptr;
		if (!w.mapping && w.isExecutable && atPhdr)
			w.mapping = notes.fileAt(atPhdr);
		m.hasBase = true;
		if (w.mapping) {
			m.file = w.mapping->path;
			m.base = baseOf(notes, *w.mapping);
		} else {
			m.base = e.lAddr;
			m.unreadable = vdso && e.lAddr == vdso ? "the kernel's virtual library has no file"
							       : "no mapped file holds its dynamic section";
		}
		r.modules.push_back(m);
		work.push_back(w);
	}
	if (chain.empty()) {
		for (auto &f : notes.files) {
			if (f.offset != 0)
				continue;
			bool seen = false;
			for (auto &m : r.modules)
				seen = seen || m.file == f.path;
			std::vector<char> head = readMemory(reader, f.start, SELFMAG);
			if (seen || head.size() < SELFMAG || memcmp(head.data(), ELFMAG, SELFMAG) != 0)
				continue;
			if (r.modules.size() >= kMaxRecordModules) {
				r.modulesLeftOut++;
				continue;
			}
			RecordModule m;
			ModuleWork w;
			m.path = m.file = f.path;
			m.hasBase = true;
			m.base = f.start;
			w.mapping = &f;
			w.biasFromFile = true;
			w.isExecutable = f.path == r.executable;
			r.modules.push_back(m);
			work.push_back(w);
		}
	}
	for (auto &m : r.modules) {
		if (!m.hasBase)
			continue;
		std::vector<char> page = readMemory(reader, m.base, kModulePage);
		m.buildId = buildIdInPage(page.data(), page.size());
	}

	// threads, the signalled one first as the kernel writes them
	std::map<long, long> globalOf;
	for (auto &ids : threadIds)
		globalOf[ids.second] = ids.first;
	for (size_t i = 0; i < notes.threads.size(); i++) {
		if (r.threads.size() >= kMaxRecordThreads) {
			r.threadsLeftOut++;
			continue;
		}
		const ThreadNote &n = notes.threads[i];
		RecordThread t;
		t.signalled = i == 0;
		t.pc = n.pc;
		auto g = globalOf.find(n.tid);
		if (g != globalOf.end() && g->second != n.tid) {
			t.tid = g->second;
			t.tidInNs = n.tid;
		} else {
			t.tid = n.tid;
		}
		// the module whose file is mapped at pc and begins nearest below it
		const FileMapping *f = notes.fileAt(n.pc);
		for (size_t k = 0; k < r.modules.size(); k++) {
			const RecordModule &m = r.modules[k];
			bool holds = f ? m.file == f->path : (vdso && m.base == vdso && n.pc - vdso < kVdsoSpan);
			if (holds && m.base <= n.pc && (t.module < 0 || m.base > r.modules[t.module].base))
				t.module = (int)k;
		}
		if (t.module >= 0)
			t.moduleOffset = n.pc - r.modules[t.module].base;
		r.threads.push_back(t);
	}

	// the modules' files: only while the process exists, only as mapped
	for (size_t k = 0; k < r.modules.size(); k++) {
		RecordModule &m = r.modules[k];
		const ModuleWork &w = work[k];
		if (!w.mapping)
			continue;
		if (!live) {
			m.unreadable = "its file is read only while the process exists";
			continue;
		}
		struct stat st;
		std::string why;
		int fd = live->openMappedFile(w.mapping->start, w.mapping->end, st, why);
		if (fd >= 0 && !w.isExecutable && !live->namesFile(m.path, st, why)) {
			close(fd);
			fd = -1;
		}
		boost::shared_ptr<ModuleFile> file = fd >= 0 ? ModuleFile::open(fd, why) : boost::shared_ptr<ModuleFile>();
		if (!file) {
			m.unreadable = why;
			continue;
		}
		m.symbolsRead = true;
		if (m.buildId.empty())
			m.buildId = file->buildId();
		uint64_t bias = w.bias, linked = 0;
		if (w.biasFromFile)
			bias = file->linkBase(linked) ? m.base - linked : m.base;
		std::vector<uint64_t> addrs;
		std::vector<size_t> which;
		for (size_t i = 0; i < r.threads.size(); i++)
			if (r.threads[i].module == (int)k) {
				addrs.push_back(r.threads[i].pc - bias);
				which.push_back(i);
			}
		if (addrs.empty())
			continue;
		std::vector<FunctionHit> hits = file->functionsAt(addrs);
		for (size_t i = 0; i < hits.size(); i++) {
			r.threads[which[i]].function = hits[i].name;
			r.threads[which[i]].functionOffset = hits[i].offset;
		}
	}
}

} // namespace Skelvane

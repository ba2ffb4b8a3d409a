#include "core_notes.h"

#include <elf.h>
#include <signal.h>
#include <sys/procfs.h>

#include <cstring>

namespace Skelvane {

namespace {

const uint32_t kNoteSigInfo = 0x53494749; // NT_SIGINFO
const uint32_t kNoteFile = 0x46494c45;    // NT_FILE
// Most mappings an NT_FILE note is read for: the kernel itself writes no
// more than this many.
const uint64_t kMaxFileMappings = 65536;

// x86-64 offsets of the fields read from the thread status record.
const size_t kPrStatusLength = sizeof(elf_prstatus);
const size_t kPcRegister = 16;
const size_t kSpRegister = 19;

template <typename T> T load(const unsigned char *p)
{
	T v;
	memcpy(&v, p, sizeof(v));
	return v;
}

// The bytes up to a NUL within n, or n of them.
std::string boundedString(const unsigned char *p, size_t n)
{
	return std::string((const char *)p, strnlen((const char *)p, n));
}

bool isFaultSignal(int signo)
{
	return signo == SIGSEGV || signo == SIGBUS || signo == SIGILL || signo == SIGFPE || signo == SIGTRAP;
}

void readSigInfo(const unsigned char *d, size_t n, SignalNote &s)
{
	// si_signo, si_errno, si_code, then the union from byte 16
	if (n < 12)
		return;
	s.present = true;
	s.number = load<int>(d);
	s.error = load<int>(d + 4);
	s.code = load<int>(d + 8);
	if (isFaultSignal(s.number) && s.code > 0) {
		if (n >= 24) {
			s.hasAddress = true;
			s.address = load<uint64_t>(d + 16);
		}
	} else if (s.code <= 0 && n >= 24) {
		// sent by a process (kill, tgkill, sigqueue): its pid and uid
		s.hasSender = true;
		s.senderPid = load<int>(d + 16);
		s.senderUid = load<unsigned>(d + 20);
	}
}

void readPrPsInfo(const unsigned char *d, size_t n, ProcessNote &p)
{
	if (n < sizeof(elf_prpsinfo))
		return;
	p.present = true;
	p.uid = load<unsigned>(d + offsetof(elf_prpsinfo, pr_uid));
	p.gid = load<unsigned>(d + offsetof(elf_prpsinfo, pr_gid));
	p.pid = load<int>(d + offsetof(elf_prpsinfo, pr_pid));
	p.ppid = load<int>(d + offsetof(elf_prpsinfo, pr_ppid));
	p.name = boundedString(d + offsetof(elf_prpsinfo, pr_fname), sizeof(((elf_prpsinfo *)nullptr)->pr_fname));
	p.psargs = boundedString(d + offsetof(elf_prpsinfo, pr_psargs), sizeof(((elf_prpsinfo *)nullptr)->pr_psargs));
	// the kernel ends the arguments with a blank
	while (!p.psargs.empty() && p.psargs.back() == ' ')
		p.psargs.pop_back();
}

void readPrStatus(const unsigned char *d, size_t n, std::vector<ThreadNote> &threads)
{
	if (n < kPrStatusLength)
		return;
	ThreadNote t;
	t.tid = load<int>(d + offsetof(elf_prstatus, pr_pid));
	t.signal = load<short>(d + offsetof(elf_prstatus, pr_cursig));
	size_t regs = offsetof(elf_prstatus, pr_reg);
	t.pc = load<uint64_t>(d + regs + kPcRegister * 8);
	t.sp = load<uint64_t>(d + regs + kSpRegister * 8);
	threads.push_back(t);
}

// count, page size, count x (start, end, page offset), then count names
void readFileNote(const unsigned char *d, size_t n, std::vector<FileMapping> &files)
{
	if (n < 16)
		return;
	uint64_t count = load<uint64_t>(d), page = load<uint64_t>(d + 8);
	if (count > kMaxFileMappings || count > (n - 16) / 24)
		return;
	size_t names = 16 + (size_t)count * 24;
	std::vector<FileMapping> out;
	for (uint64_t i = 0; i < count; i++) {
		const unsigned char *e = d + 16 + i * 24;
		FileMapping m;
		m.start = load<uint64_t>(e);
		m.end = load<uint64_t>(e + 8);
		uint64_t pgoff = load<uint64_t>(e + 16);
		if (m.end < m.start || (page && pgoff > UINT64_MAX / page))
			return;
		m.offset = pgoff * page;
		if (names >= n)
			break; // the names were cut off: keep the mappings named so far
		size_t len = strnlen((const char *)d + names, n - names);
		if (len == n - names)
			break;
		m.path.assign((const char *)d + names, len);
		names += len + 1;
		out.push_back(m);
	}
	files.swap(out);
}

void readAuxv(const unsigned char *d, size_t n, std::vector<std::pair<uint64_t, uint64_t> > &auxv)
{
	for (size_t at = 0; n - at >= 16; at += 16) {
		uint64_t type = load<uint64_t>(d + at), val = load<uint64_t>(d + at + 8);
		if (type == AT_NULL)
			break;
		auxv.push_back({type, val});
	}
}

} // namespace

uint64_t CoreNotes::auxvValue(uint64_t type) const
{
	for (auto &a : auxv)
		if (a.first == type)
			return a.second;
	return 0;
}

const FileMapping *CoreNotes::fileAt(uint64_t addr) const
{
	for (auto &f : files)
		if (addr >= f.start && addr < f.end)
			return &f;
	return nullptr;
}

CoreNotes readCoreNotes(const void *bytes, size_t size)
{
	CoreNotes notes;
	const unsigned char *p = static_cast<const unsigned char *>(bytes);
	if (!p)
		return notes;
	bool seenSignal = false, seenProcess = false, seenFiles = false, seenAuxv = false;
	for (size_t at = 0; size - at >= sizeof(Elf64_Nhdr);) {
		Elf64_Nhdr h;
		memcpy(&h, p + at, sizeof(h));
		size_t name = at + sizeof(h);
		// name and descriptor are each padded to four bytes
		uint64_t nameLen = ((uint64_t)h.n_namesz + 3) & ~3ull, descLen = ((uint64_t)h.n_descsz + 3) & ~3ull;
		if (nameLen > size - name)
			break;
		size_t desc = name + (size_t)nameLen;
		if (h.n_descsz > size - desc)
			break;
		const unsigned char *d = p + desc;
		size_t n = h.n_descsz;
		bool core = h.n_namesz == 5 && memcmp(p + name, "CORE", 5) == 0;
		if (core) {
			// the first of each kind counts, as a debugger reads them
			if (h.n_type == kNoteSigInfo && !seenSignal) {
				seenSignal = true;
				readSigInfo(d, n, notes.signal);
			} else if (h.n_type == NT_PRPSINFO && !seenProcess) {
				seenProcess = true;
				readPrPsInfo(d, n, notes.process);
			} else if (h.n_type == NT_PRSTATUS) {
				readPrStatus(d, n, notes.threads);
			} else if (h.n_type == kNoteFile && !seenFiles) {
				seenFiles = true;
				readFileNote(d, n, notes.files);
			} else if (h.n_type == NT_AUXV && !seenAuxv) {
				seenAuxv = true;
				readAuxv(d, n, notes.auxv);
			}
		}
		if (descLen > size - desc)
			break;
		at = desc + (size_t)descLen;
	}
	return notes;
}

} // namespace Skelvane

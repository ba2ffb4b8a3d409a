#include "builder.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace Skelvane {

Builder::Builder(Reader &reader_) : reader(reader_) {}

Builder::~Builder()
{
	rdebug.reset();
	dynamic.reset();
	note.reset();
	segments.clear();
}

bool Builder::readNote()
{
	if (note)
		return true;
	Elf64_Phdr phdr;
	if (!reader.findNotePhdr(phdr))
		return false;
	Elf_Data *data = reader.getNoteData(phdr);
	if (!data)
		return false;
	note.reset(new Note(phdr, data));
	segments.push_back(note);
	return true;
}

bool Builder::readDynamic()
{
	if (dynamic)
		return true;
	if (!note && !readNote())
		return false;
	Elf_Data *auxv = reader.getAuxvData(note->phdr, note->data);
	Elf_Data *phdrs = reader.getExecPhdrData(auxv);
	if (!auxv || !phdrs)
		return false;
	Elf64_Phdr dynPhdr, phdrPhdr;
	Elf64_auxv_t atPhdr;
	if (!reader.findExecPhdrByType(phdrs, PT_DYNAMIC, dynPhdr) ||
	    !reader.findExecPhdrByType(phdrs, PT_PHDR, phdrPhdr) ||
	    !reader.findAuxvByType(auxv, AT_PHDR, atPhdr))
		return false;
	if (atPhdr.a_un.a_val != phdrPhdr.p_vaddr) {
		// Loaded away from its link-time addresses: the mapping that holds
		// the program header table starts at the load base.
		Elf64_Phdr mapping;
		if (!reader.findPhdrByVaddr(atPhdr.a_un.a_val, mapping))
			return false;
		dynPhdr.p_vaddr += mapping.p_vaddr;
	}
	Elf_Data *data = reader.getDynData(dynPhdr);
	if (!data)
		return false;
	dynamic.reset(new Dynamic(dynPhdr, data));
	segments.push_back(dynamic);
	return true;
}

bool Builder::readRDebug()
{
	if (rdebug)
		return true;
	if (!dynamic && !readDynamic())
		return false;
	Elf64_Dyn entry;
	if (!reader.findDynByTag(dynamic->data, DT_DEBUG, entry))
		return false;
	r_debug debug;
	if (!reader.getRDebug(entry, debug))
		return false;
	rdebug.reset(new RDebug(entry, debug));
	segments.push_back(rdebug);
	return true;
}

// Turns ".../libpthread.so..." into ".../libathread.so..." in place. The
// character changed is the fourth after the name's last '/'; a name where that
// place lies beyond its last character is left as it is.
static void renameThreadLibrary(std::vector<char> &name)
{
	size_t len = strnlen(name.data(), name.size());
	std::string s(name.data(), len);
	if (s.find("/libpthread.so") == std::string::npos)
		return;
	size_t slash = s.rfind('/');
	if (slash + 4 < len)
		name[slash + 4] = 'a';
}

bool Builder::readLinkmaps()
{
	if (!rdebug && !readRDebug())
		return false;
	SegmentList local;
	// Every record is kept once: a chain that leads back to a record already
	// kept ends there. A chain longer than any header could announce fails.
	std::set<unsigned long> seen;
	unsigned long addr = (unsigned long)rdebug->debug.r_map;
	while (addr != 0 && seen.insert(addr).second) {
		if (seen.size() > kMaxSegments)
			return false;
		link_map map;
		if (!reader.getLinkmap(addr, map))
			return false;
		local.push_back(boost::shared_ptr<Segment>(new Linkmap(addr, map)));
		std::vector<char> name;
		unsigned long nameAddr = (unsigned long)map.l_name;
		if (!reader.getString(nameAddr, name))
			return false;
		renameThreadLibrary(name);
		local.push_back(boost::shared_ptr<Segment>(new String(nameAddr, name)));
		addr = (unsigned long)map.l_next;
	}
	segments.splice(segments.end(), local);
	return true;
}

bool Builder::readStacks()
{
	if (!note && !readNote())
		return false;
	SegmentList local;
	elf_prstatus status;
	unsigned long offset = 0;
	while ((offset = reader.getNextPrStatus(note->data, offset, status)) != 0) {
		// A thread whose stack is nowhere in the file (its stack pointer
		// wild, its stack not dumped or cut off) is left out: the other
		// threads and the loaded objects are worth more than no output.
		unsigned long start = 0;
		Elf_Data *data = reader.getStackData(status, start);
		if (!data)
			continue;
		local.push_back(boost::shared_ptr<Segment>(new Stack(start, data)));
		readInterruptedStacks(local, reader.getStack(status), start, data);
	}
	segments.splice(segments.end(), local);
	return true;
}

void Builder::readInterruptedStacks(SegmentList &local, unsigned long sp, unsigned long start, Elf_Data *data)
{
	// A thread in a handler on an alternate stack keeps the stack the
	// signal came on as well, found through the kernel's signal frame, and
	// so on while that stack too was an alternate one. What is kept never
	// overlaps: each piece ends where a piece kept before begins.
	std::vector<std::pair<unsigned long, unsigned long> > kept{{start, start + data->d_size}};
	unsigned long rsp;
	while (kept.size() <= kMaxInterruptedStacks && reader.findInterruptedSp(data, start, sp, rsp)) {
		unsigned long limit = ~0ul;
		for (auto &k : kept) {
			if (rsp >= k.first && rsp < k.second)
				return;
			if (k.first > rsp)
				limit = std::min(limit, k.first);
		}
		unsigned long at = 0;
		Elf_Data *more = reader.getStackDataAt(rsp, at, limit);
		if (!more || more->d_size == 0)
			return;
		for (auto &k : kept)
			if (at < k.second && k.first < at + more->d_size)
				return;
		kept.push_back({at, at + more->d_size});
		local.push_back(boost::shared_ptr<Segment>(new Stack(at, more)));
		sp = rsp;
		start = at;
		data = more;
	}
}

bool Builder::readModulePages()
{
	std::vector<boost::shared_ptr<Segment> > pages;
	Elf64_Phdr load;
	for (size_t index = 0; reader.findNextDumpedPhdr(index, load);)
		if (Elf_Data *data = reader.getModulePageData(load))
			pages.push_back(boost::shared_ptr<Segment>(new ModulePage(load, data)));
	// Debuggers that find modules by their headers in memory walk the
	// loadable segments in table order and expect rising addresses; a piece
	// that lies wholly in a kept page would only hide part of it.
	auto range = [](const boost::shared_ptr<Segment> &s) {
		Elf64_Phdr h = s->getHeader(0);
		return std::make_pair(h.p_vaddr, h.p_vaddr + h.p_memsz);
	};
	std::vector<std::pair<unsigned long, unsigned long> > held;
	for (auto &p : pages)
		held.push_back(range(p));
	std::sort(held.begin(), held.end());
	std::vector<boost::shared_ptr<Segment> > memory(pages);
	SegmentList front;
	for (auto &s : segments) {
		if (s->getHeader(0).p_type != PT_LOAD) {
			front.push_back(s);
			continue;
		}
		// the page starting last at or below the piece
		auto r = range(s);
		auto page = std::upper_bound(held.begin(), held.end(), std::make_pair(r.first, ~0ul));
		if (page == held.begin() || r.second < r.first || (page - 1)->second < r.second)
			memory.push_back(s);
	}
	std::stable_sort(memory.begin(), memory.end(),
			 [&](const boost::shared_ptr<Segment> &a, const boost::shared_ptr<Segment> &b) {
				 return range(a).first < range(b).first;
			 });
	segments.swap(front);
	segments.insert(segments.end(), memory.begin(), memory.end());
	return true;
}

bool Builder::getResult(Result &out)
{
	Header h;
	if (!reader.getEhdr(h))
		return false;
	size_t count = segments.size();
	// Without extended numbering e_phnum cannot say more; a header that
	// counted fewer segments than the file holds would lie about the table.
	if (count > kMaxSegments)
		return false;
	h.e_phoff = sizeof(Header);
	h.e_phnum = (Elf64_Half)count;
	// The stripped core has no section header table: a header that
	// announced one would point past the end of the file.
	h.e_shoff = 0;
	h.e_shnum = 0;
	h.e_shentsize = 0;
	h.e_shstrndx = 0;
	out.header = h;
	out.segments = segments;
	return true;
}

} // namespace Skelvane

#include "segment.h"

#include <cstring>

namespace Skelvane {

Segment::~Segment() {}

Elf64_Phdr Segment::getHeader(unsigned long offset) const
{
	Elf64_Phdr h;
	memset(&h, 0, sizeof(h));
	h.p_type = PT_LOAD;
	h.p_flags = PF_R | PF_W | PF_X;
	h.p_offset = offset;
	return h;
}

Elf64_Phdr Segment::memoryHeader(unsigned long offset, unsigned long vaddr) const
{
	Elf64_Phdr h = Segment::getHeader(offset);
	h.p_vaddr = vaddr;
	// A loadable segment's file image is never larger than its memory
	// image: readers of the core that check this refuse the file otherwise.
	h.p_filesz = h.p_memsz = getSize();
	return h;
}

// libelf chunks may come back with no buffer for an empty range.
static size_t chunkSize(const Elf_Data *d)
{
	return d && d->d_buf ? d->d_size : 0;
}

Note::Note(const Elf64_Phdr &phdr_, Elf_Data *data_) : phdr(phdr_), data(data_) {}
Note::~Note() {}
Elf64_Phdr Note::getHeader(unsigned long offset) const
{
	Elf64_Phdr h = phdr;
	h.p_offset = offset;
	return h;
}
const void *Note::getBuffer() const { return data ? data->d_buf : nullptr; }
size_t Note::getSize() const { return chunkSize(data); }

Dynamic::Dynamic(const Elf64_Phdr &phdr_, Elf_Data *data_) : phdr(phdr_), data(data_) {}
Dynamic::~Dynamic() {}
Elf64_Phdr Dynamic::getHeader(unsigned long offset) const
{
	Elf64_Phdr h = Segment::getHeader(offset);
	h.p_flags = phdr.p_flags;
	h.p_vaddr = phdr.p_vaddr;
	// Only p_filesz bytes are kept, so only they are claimed in memory.
	h.p_filesz = h.p_memsz = phdr.p_filesz;
	h.p_align = phdr.p_align;
	return h;
}
const void *Dynamic::getBuffer() const { return data ? data->d_buf : nullptr; }
size_t Dynamic::getSize() const { return chunkSize(data); }

RDebug::RDebug(const Elf64_Dyn &dyn_, const r_debug &debug_) : dyn(dyn_), debug(debug_) {}
RDebug::~RDebug() {}
Elf64_Phdr RDebug::getHeader(unsigned long offset) const
{
	return memoryHeader(offset, dyn.d_un.d_ptr);
}
const void *RDebug::getBuffer() const { return &debug; }
size_t RDebug::getSize() const { return sizeof(debug); }

Linkmap::Linkmap(unsigned long address_, const link_map &map_) : address(address_), map(map_) {}
Linkmap::~Linkmap() {}
Elf64_Phdr Linkmap::getHeader(unsigned long offset) const
{
	return memoryHeader(offset, address);
}
const void *Linkmap::getBuffer() const { return &map; }
size_t Linkmap::getSize() const { return sizeof(map); }

String::String(unsigned long address_, const std::vector<char> &text_) : address(address_), text(text_) {}
String::~String() {}
Elf64_Phdr String::getHeader(unsigned long offset) const
{
	return memoryHeader(offset, address);
}
const void *String::getBuffer() const { return text.data(); }
size_t String::getSize() const { return text.size(); }

Stack::Stack(unsigned long address_, Elf_Data *data_) : address(address_), data(data_) {}
Stack::~Stack() {}
Elf64_Phdr Stack::getHeader(unsigned long offset) const
{
	return memoryHeader(offset, address);
}
const void *Stack::getBuffer() const { return data ? data->d_buf : nullptr; }
size_t Stack::getSize() const { return chunkSize(data); }

ModulePage::ModulePage(const Elf64_Phdr &phdr_, Elf_Data *data_) : phdr(phdr_), data(data_) {}
ModulePage::~ModulePage() {}
Elf64_Phdr ModulePage::getHeader(unsigned long offset) const
{
	// The mapping's flags and alignment stay; only the kept page is claimed.
	Elf64_Phdr h = phdr;
	h.p_offset = offset;
	h.p_paddr = 0;
	h.p_filesz = h.p_memsz = getSize();
	return h;
}
const void *ModulePage::getBuffer() const { return data ? data->d_buf : nullptr; }
size_t ModulePage::getSize() const { return chunkSize(data); }

} // namespace Skelvane

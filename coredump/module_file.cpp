#include "module_file.h"

#include <elf.h>
#include <gelf.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace Skelvane {

namespace {

// Most section headers a module's table is read with (as many as a large
// library has, many times over), and most bytes of notes read per segment.
const size_t kMaxSections = 1 << 16;
const uint64_t kMaxNotes = 1 << 20;

std::string hex(const unsigned char *p, size_t n)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	for (size_t i = 0; i < n; i++) {
		s += digits[p[i] >> 4];
		s += digits[p[i] & 15];
	}
	return s;
}

struct Function {
	uint64_t value, size;
	size_t name;
};

} // namespace

std::string buildIdInNotes(const void *bytes, size_t size, size_t align)
{
	const unsigned char *p = static_cast<const unsigned char *>(bytes);
	if (!p || (align != 4 && align != 8))
		return "";
	for (size_t at = 0; size - at >= sizeof(Elf64_Nhdr);) {
		Elf64_Nhdr h;
		memcpy(&h, p + at, sizeof(h));
		uint64_t nameLen = ((uint64_t)h.n_namesz + align - 1) & ~(uint64_t)(align - 1);
		uint64_t descLen = ((uint64_t)h.n_descsz + align - 1) & ~(uint64_t)(align - 1);
		size_t name = at + sizeof(h);
		if (nameLen > size - name)
			return "";
		size_t desc = name + (size_t)nameLen;
		if (h.n_descsz > size - desc)
			return "";
		// a build ID is a few tens of bytes; a larger one is not believed
		if (h.n_type == NT_GNU_BUILD_ID && h.n_namesz == 4 && memcmp(p + name, "GNU", 4) == 0 &&
		    h.n_descsz > 0 && h.n_descsz <= 64)
			return hex(p + desc, h.n_descsz);
		if (descLen > size - desc)
			return "";
		at = desc + (size_t)descLen;
	}
	return "";
}

std::string buildIdInPage(const void *page, size_t size)
{
	const unsigned char *p = static_cast<const unsigned char *>(page);
	Elf64_Ehdr eh;
	if (!p || size < sizeof(eh))
		return "";
	memcpy(&eh, p, sizeof(eh));
	if (memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
	    eh.e_phentsize != sizeof(Elf64_Phdr) || eh.e_phoff > size ||
	    (size - eh.e_phoff) / sizeof(Elf64_Phdr) < eh.e_phnum)
		return "";
	for (unsigned i = 0; i < eh.e_phnum; i++) {
		Elf64_Phdr ph;
		memcpy(&ph, p + eh.e_phoff + i * sizeof(ph), sizeof(ph));
		if (ph.p_type != PT_NOTE || ph.p_offset >= size)
			continue;
		// the file's first page lies at the module's load address, so a note
		// within it lies at its file offset
		size_t len = (size_t)std::min<uint64_t>(ph.p_filesz, size - ph.p_offset);
		std::string id = buildIdInNotes(p + ph.p_offset, len, ph.p_align == 8 ? 8 : 4);
		if (!id.empty())
			return id;
	}
	return "";
}

ModuleFile::ModuleFile(int fd_, Elf *elf_) : fd(fd_), elf(elf_) {}

ModuleFile::~ModuleFile()
{
	elf_end(elf);
	close(fd);
}

boost::shared_ptr<ModuleFile> ModuleFile::open(int fd, std::string &why)
{
	Elf *elf = nullptr;
	if (elf_version(EV_CURRENT) == EV_NONE || !(elf = elf_begin(fd, ELF_C_READ, nullptr))) {
		why = "its mapped file cannot be read as ELF";
		close(fd);
		return boost::shared_ptr<ModuleFile>();
	}
	GElf_Ehdr eh;
	size_t sections = 0;
	if (elf_kind(elf) != ELF_K_ELF || gelf_getclass(elf) != ELFCLASS64 || !gelf_getehdr(elf, &eh) ||
	    eh.e_machine != EM_X86_64) {
		why = "its mapped file is not a 64-bit x86 ELF file";
	} else if (elf_getshdrnum(elf, &sections) != 0 || sections > kMaxSections) {
		why = "its mapped file has a section table this program does not read";
	} else {
		boost::shared_ptr<ModuleFile> m(new ModuleFile(fd, elf));
		return m;
	}
	elf_end(elf);
	close(fd);
	return boost::shared_ptr<ModuleFile>();
}

std::string ModuleFile::buildId()
{
	size_t n = 0;
	if (elf_getphdrnum(elf, &n) == 0) {
		for (size_t i = 0; i < n; i++) {
			GElf_Phdr ph;
			if (!gelf_getphdr(elf, (int)i, &ph) || ph.p_type != PT_NOTE || ph.p_filesz > kMaxNotes)
				continue;
			Elf_Data *d = elf_getdata_rawchunk(elf, (int64_t)ph.p_offset, ph.p_filesz, ELF_T_BYTE);
			if (!d || !d->d_buf)
				continue;
			std::string id = buildIdInNotes(d->d_buf, d->d_size, ph.p_align == 8 ? 8 : 4);
			if (!id.empty())
				return id;
		}
	}
	// a file without program headers for its notes: the note sections
	for (Elf_Scn *scn = nullptr; (scn = elf_nextscn(elf, scn));) {
		GElf_Shdr sh;
		if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_NOTE || sh.sh_size > kMaxNotes)
			continue;
		Elf_Data *d = elf_rawdata(scn, nullptr);
		if (!d || !d->d_buf)
			continue;
		std::string id = buildIdInNotes(d->d_buf, d->d_size, sh.sh_addralign == 8 ? 8 : 4);
		if (!id.empty())
			return id;
	}
	return "";
}

bool ModuleFile::linkBase(uint64_t &out)
{
	size_t n = 0;
	if (elf_getphdrnum(elf, &n) != 0)
		return false;
	bool any = false;
	for (size_t i = 0; i < n; i++) {
		GElf_Phdr ph;
		if (!gelf_getphdr(elf, (int)i, &ph) || ph.p_type != PT_LOAD)
			continue;
		uint64_t v = ph.p_vaddr & ~(uint64_t)0xfff;
		if (!any || v < out)
			out = v;
		any = true;
	}
	return any;
}

std::vector<FunctionHit> ModuleFile::functionsAt(const std::vector<uint64_t> &addrs)
{
	std::vector<FunctionHit> hits(addrs.size());
	// the full table where the file keeps one, else the dynamic one
	Elf_Scn *table = nullptr;
	GElf_Shdr tableHeader = {};
	for (Elf_Scn *scn = nullptr; (scn = elf_nextscn(elf, scn));) {
		GElf_Shdr sh;
		if (!gelf_getshdr(scn, &sh) || (sh.sh_type != SHT_SYMTAB && sh.sh_type != SHT_DYNSYM) ||
		    sh.sh_entsize != sizeof(Elf64_Sym) || sh.sh_size > kMaxSymbolTable)
			continue;
		if (!table || (sh.sh_type == SHT_SYMTAB && tableHeader.sh_type != SHT_SYMTAB)) {
			table = scn;
			tableHeader = sh;
		}
	}
	if (!table)
		return hits;
	Elf_Scn *strings = elf_getscn(elf, tableHeader.sh_link);
	GElf_Shdr stringsHeader;
	if (!strings || !gelf_getshdr(strings, &stringsHeader) || stringsHeader.sh_type != SHT_STRTAB ||
	    stringsHeader.sh_size > kMaxSymbolTable)
		return hits;
	Elf_Data *data = elf_getdata(table, nullptr);
	if (!data)
		return hits;
	std::vector<Function> functions;
	size_t count = data->d_size / sizeof(Elf64_Sym);
	for (size_t i = 0; i < count; i++) {
		GElf_Sym sym;
		if (!gelf_getsym(data, (int)i, &sym))
			break;
		int type = GELF_ST_TYPE(sym.st_info);
		if ((type != STT_FUNC && type != STT_GNU_IFUNC) || sym.st_shndx == SHN_UNDEF || sym.st_value == 0)
			continue;
		functions.push_back({sym.st_value, sym.st_size, sym.st_name});
	}
	std::sort(functions.begin(), functions.end(), [](const Function &a, const Function &b) {
		return a.value != b.value ? a.value < b.value : a.size > b.size;
	});
	for (size_t i = 0; i < addrs.size(); i++) {
		uint64_t a = addrs[i];
		// from the last function starting at or below a, back to the
		// nearest one that holds it (one that starts lower may be larger)
		auto it = std::upper_bound(functions.begin(), functions.end(), a,
					   [](uint64_t v, const Function &f) { return v < f.value; });
		for (int tries = 0; it != functions.begin() && tries < 64; tries++) {
			--it;
			uint64_t off = a - it->value;
			if (off < it->size || (it->size == 0 && off == 0)) {
				const char *name = elf_strptr(elf, tableHeader.sh_link, it->name);
				if (name && *name) {
					hits[i].name.assign(name, strnlen(name, kMaxFunctionName));
					hits[i].offset = off;
				}
				break;
			}
		}
	}
	return hits;
}

} // namespace Skelvane

// A loaded module's ELF file, read for the record: its build ID and the
// names of the functions the threads were in, from its symbol table
// (.symtab, else .dynsym). Any user can map a file of their making, so the
// file is taken as hostile: only 64-bit x86 ELF files are read, and no
// table larger than kMaxSymbolTable is read at all.
#pragma once

#include <libelf.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

namespace Skelvane {

static const uint64_t kMaxSymbolTable = 64ul << 20;
// Longest function name a record keeps.
static const size_t kMaxFunctionName = 1024;

// The function holding an address.
struct FunctionHit {
	std::string name; // empty: no function of the table holds it
	uint64_t offset = 0;
};

class ModuleFile {
public:
	// Takes fd (a regular file, open for reading) and reads its ELF
	// header; null with the reason in why when it is no such ELF file. fd
	// is closed in every case.
	static boost::shared_ptr<ModuleFile> open(int fd, std::string &why);
	~ModuleFile();

	// The GNU build ID, in hexadecimal; "" when the file has none.
	std::string buildId();
	// The lowest address its loadable segments are linked at, page-aligned:
	// its load address less the bias of the mapping.
	bool linkBase(uint64_t &out);
	// The functions holding each of the link-time addresses.
	std::vector<FunctionHit> functionsAt(const std::vector<uint64_t> &addrs);

private:
	ModuleFile(int fd, Elf *elf);
	ModuleFile(const ModuleFile &) = delete;
	ModuleFile &operator=(const ModuleFile &) = delete;

	int fd;
	Elf *elf;
};

// The GNU build ID in the first page of a module as it lies in memory
// (its ELF header, program headers and, as linkers lay them out, its notes),
// or "". Reads nothing outside the size bytes at page.
std::string buildIdInPage(const void *page, size_t size);
// The hexadecimal form of a GNU build ID note's descriptor, or "" when the
// bytes at notes, notes padded to align (4 or 8) bytes, hold no such note.
std::string buildIdInNotes(const void *notes, size_t size, size_t align);

} // namespace Skelvane

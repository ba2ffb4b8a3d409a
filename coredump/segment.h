// The pieces of the crashed process that the stripped core keeps. Each one
// describes itself by a program header once its file offset is known.
#pragma once

#include <elf.h>
#include <libelf.h>
#include <link.h>

#include <cstddef>
#include <list>
#include <vector>

#include <boost/shared_ptr.hpp>

namespace Skelvane {

class Segment {
public:
	virtual ~Segment() = 0;
	// PT_LOAD, flags RWX, p_offset = offset, everything else 0.
	virtual Elf64_Phdr getHeader(unsigned long offset) const;
	virtual const void *getBuffer() const = 0;
	virtual size_t getSize() const = 0;

protected:
	// The base header for bytes that lay at `vaddr` in the process: what the
	// kinds that own or point at plain memory give.
	Elf64_Phdr memoryHeader(unsigned long offset, unsigned long vaddr) const;
};

typedef std::list<boost::shared_ptr<Segment> > SegmentList;

// The core's own note segment (registers, auxiliary vector, ...).
class Note : public Segment {
public:
	Note(const Elf64_Phdr &phdr, Elf_Data *data);
	~Note() override;
	Elf64_Phdr getHeader(unsigned long offset) const override;
	const void *getBuffer() const override;
	size_t getSize() const override;

	const Elf64_Phdr phdr;
	Elf_Data *const data;
};

// The executable's dynamic section at its run-time address.
class Dynamic : public Segment {
public:
	Dynamic(const Elf64_Phdr &phdr, Elf_Data *data);
	~Dynamic() override;
	Elf64_Phdr getHeader(unsigned long offset) const override;
	const void *getBuffer() const override;
	size_t getSize() const override;

	const Elf64_Phdr phdr;
	Elf_Data *const data;
};

// The dynamic linker's r_debug record, placed at the DT_DEBUG entry's d_ptr.
class RDebug : public Segment {
public:
	RDebug(const Elf64_Dyn &dyn, const r_debug &debug);
	~RDebug() override;
	Elf64_Phdr getHeader(unsigned long offset) const override;
	const void *getBuffer() const override;
	size_t getSize() const override;

	const Elf64_Dyn dyn;
	const r_debug debug;
};

// The first five fields of one link_map record at its process address.
class Linkmap : public Segment {
public:
	Linkmap(unsigned long address, const link_map &map);
	~Linkmap() override;
	Elf64_Phdr getHeader(unsigned long offset) const override;
	const void *getBuffer() const override;
	size_t getSize() const override;

	const uint64_t address;
	const link_map map;
};

// One loaded object's name with its NUL, at its process address.
class String : public Segment {
public:
	String(unsigned long address, const std::vector<char> &text);
	~String() override;
	Elf64_Phdr getHeader(unsigned long offset) const override;
	const void *getBuffer() const override;
	size_t getSize() const override;

	const uint64_t address;
	const std::vector<char> text;
};

// The live part of one thread's stack.
class Stack : public Segment {
public:
	Stack(unsigned long address, Elf_Data *data);
	~Stack() override;
	Elf64_Phdr getHeader(unsigned long offset) const override;
	const void *getBuffer() const override;
	size_t getSize() const override;

	const uint64_t address;
	Elf_Data *const data;
};

// The first page of a mapping that begins with an ELF header: the loaded
// object's header, program headers and build ID note, by which debuggers
// that work from memory recognise each module.
class ModulePage : public Segment {
public:
	ModulePage(const Elf64_Phdr &phdr, Elf_Data *data);
	~ModulePage() override;
	Elf64_Phdr getHeader(unsigned long offset) const override;
	const void *getBuffer() const override;
	size_t getSize() const override;

	const Elf64_Phdr phdr; // the mapping's header in the core
	Elf_Data *const data;
};

} // namespace Skelvane

// Decides what the stripped core keeps: follows the debugger's chain from the
// notes to the loaded objects' names, takes every thread's live stack, and
// derives the output's ELF header.
#pragma once

#include "reader.h"
#include "segment.h"

namespace Skelvane {

typedef Elf64_Ehdr Header;
// What the stripped core is made of: its ELF header and, in file order, the
// segments its program header table describes.
struct Result {
	Header header = {};
	SegmentList segments;
};

// The most program headers an ELF header can announce without extended
// numbering, which the stripped core does not use.
static const unsigned long kMaxSegments = 0xffff;

// Most stacks kept for one thread beyond its own: those that signals handled
// on alternate stacks interrupted, one behind the other.
static const unsigned kMaxInterruptedStacks = 4;

class Builder {
public:
	explicit Builder(Reader &reader);
	~Builder();

	bool readNote();
	bool readDynamic();
	bool readRDebug();
	bool readLinkmaps();
	bool readStacks();
	bool readModulePages();
	bool getResult(Result &out);

private:
	Builder(const Builder &) = delete;
	Builder &operator=(const Builder &) = delete;

	// Appends to `local` the stacks that signal handlers running on
	// alternate stacks interrupted, starting from a thread's stack pointer sp
	// in its kept stack chunk data at start.
	void readInterruptedStacks(SegmentList &local, unsigned long sp, unsigned long start, Elf_Data *data);

	Reader &reader;
	SegmentList segments;
	boost::shared_ptr<Note> note;
	boost::shared_ptr<Dynamic> dynamic;
	boost::shared_ptr<RDebug> rdebug;
};

} // namespace Skelvane

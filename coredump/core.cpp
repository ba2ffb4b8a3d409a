#include "core.h"

#include <cstring>
#include <iostream>

namespace Skelvane {

Core::Core()
{
	memset(&header, 0, sizeof(header));
}

Core::~Core()
{
	// No segment touches libelf data when destroyed, so the handle may go
	// first.
	reader.reset();
	segments.clear();
}

void Core::clear()
{
	segments.clear();
	missing.clear();
}

bool Core::read(const char *path)
{
	clear();
	std::string why;
	reader = Reader::openCoreFile(path, why);
	if (!reader) {
		std::cerr << "ERROR: " << why << std::endl;
		std::cerr << "ERROR: Unable to open file " << path << std::endl;
		return false;
	}
	if (const char *failed = build()) {
		std::cerr << "ERROR: " << failed << std::endl;
		return false;
	}
	if (!missing.empty())
		std::cerr << "WARNING: partial core, missing: " << missing << std::endl;
	return true;
}

bool Core::collect(int fd, const boost::shared_ptr<Memory> &memory, std::string &why)
{
	clear();
	reader = Reader::openCoreStream(fd, memory, why);
	if (!reader)
		return false;
	if (const char *failed = build()) {
		why = failed;
		return false;
	}
	return true;
}

const char *Core::build()
{
	const char *lacking = nullptr;
	Builder builder(*reader);
	if (!builder.readNote())
		return "Unable to read core notes";
	// Only a core is worth keeping in part: any other file with notes has
	// no threads and no memory.
	Elf64_Ehdr ehdr;
	bool partial = keepPartial && reader->getEhdr(ehdr) && ehdr.e_type == ET_CORE;
	if (!builder.readDynamic()) {
		if (!partial)
			return "Unable to read dynamic section";
		lacking = "dynamic section, r_debug record, link maps";
	} else if (!builder.readRDebug()) {
		if (!partial)
			return "Unable to read rdebug structure";
		lacking = "r_debug record, link maps";
	} else if (!builder.readLinkmaps()) {
		return "Unable to read linkmap";
	}
	if (!builder.readStacks())
		return "Unable to read stacks";
	if (buildIds && !builder.readModulePages())
		return "Unable to read module headers";
	Result result;
	if (!builder.getResult(result))
		return "Unable to read elf header";
	header = result.header;
	segments.swap(result.segments);
	if (lacking)
		missing = lacking;
	return nullptr;
}

} // namespace Skelvane

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
	Builder builder(*reader);
	if (!builder.readNote())
		return "Unable to read core notes";
	if (!builder.readDynamic())
		return "Unable to read dynamic section";
	if (!builder.readRDebug())
		return "Unable to read rdebug structure";
	if (!builder.readLinkmaps())
		return "Unable to read linkmap";
	if (!builder.readStacks())
		return "Unable to read stacks";
	if (buildIds && !builder.readModulePages())
		return "Unable to read module headers";
	Result result;
	if (!builder.getResult(result))
		return "Unable to read elf header";
	header = result.header;
	segments.swap(result.segments);
	return nullptr;
}

} // namespace Skelvane

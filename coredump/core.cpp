#include "core.h"

#include <cstring>
#include <iostream>

namespace Skelvane {

Core::Core() : Result()
{
	memset(&first, 0, sizeof(first));
}

Core::~Core()
{
	// No segment touches libelf data when destroyed, so the handle may go
	// first.
	reader.reset();
	second.clear();
}

void Core::clear()
{
	second.clear();
}

bool Core::read(const char *path)
{
	clear();
	reader = Reader::openCoreFile(path);
	if (!reader) {
		std::cerr << "ERROR: Unable to open file " << path << std::endl;
		return false;
	}
	Builder builder(*reader);
	if (!builder.readNote()) {
		std::cerr << "ERROR: Unable to read core notes" << std::endl;
		return false;
	}
	if (!builder.readDynamic()) {
		std::cerr << "ERROR: Unable to read dynamic section" << std::endl;
		return false;
	}
	if (!builder.readRDebug()) {
		std::cerr << "ERROR: Unable to read rdebug structure" << std::endl;
		return false;
	}
	if (!builder.readLinkmaps()) {
		std::cerr << "ERROR: Unable to read linkmap" << std::endl;
		return false;
	}
	if (!builder.readStacks()) {
		std::cerr << "ERROR: Unable to read stacks" << std::endl;
		return false;
	}
	if (!builder.getResult(*this)) {
		std::cerr << "ERROR: Unable to read elf header" << std::endl;
		return false;
	}
	return true;
}

} // namespace Skelvane

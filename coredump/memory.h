// The crashed process's memory by address. While the kernel writes a core
// into the handler's pipe the process still exists, so its memory can be
// read in place of the bytes that follow in the stream.
#pragma once

#include <elf.h>

#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

namespace Skelvane {

class Memory {
public:
	virtual ~Memory();
	// Up to size bytes at process address addr: the number read, which is
	// short or -1 where the memory cannot be read.
	virtual long readMemory(unsigned long addr, void *buf, unsigned long size) = 0;
};

// /proc/PID/mem of a live (dumping) process.
class ProcessMemory : public Memory {
public:
	// Null, with errno set, when the file cannot be opened.
	static boost::shared_ptr<ProcessMemory> openProcess(const std::string &pid);
	~ProcessMemory() override;
	long readMemory(unsigned long addr, void *buf, unsigned long size) override;

private:
	explicit ProcessMemory(int fd);
	ProcessMemory(const ProcessMemory &) = delete;
	ProcessMemory &operator=(const ProcessMemory &) = delete;
	int fd;
};

// The memory that a whole core file in a buffer holds: an address reads from
// the first dumped PT_LOAD range, in table order, that holds it. Stands in
// for a process in tests and in the fuzz harness.
class ImageMemory : public Memory {
public:
	ImageMemory(const void *bytes, unsigned long size);
	long readMemory(unsigned long addr, void *buf, unsigned long size) override;

private:
	const char *bytes;
	unsigned long size;
	std::vector<Elf64_Phdr> loads;
};

} // namespace Skelvane

#include "memory.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace Skelvane {

Memory::~Memory() {}

ProcessMemory::ProcessMemory(int fd_) : fd(fd_) {}

ProcessMemory::~ProcessMemory()
{
	close(fd);
}

boost::shared_ptr<ProcessMemory> ProcessMemory::openProcess(const std::string &pid)
{
	int fd = open(("/proc/" + pid + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return boost::shared_ptr<ProcessMemory>();
	return boost::shared_ptr<ProcessMemory>(new ProcessMemory(fd));
}

long ProcessMemory::readMemory(unsigned long addr, void *buf, unsigned long size)
{
	// The file offset is the address; addresses beyond off_t are no user
	// memory.
	if (addr > (unsigned long)LONG_MAX)
		return -1;
	ssize_t n;
	while ((n = pread(fd, buf, size, (off_t)addr)) < 0 && errno == EINTR)
		;
	return (long)n;
}

ImageMemory::ImageMemory(const void *bytes_, unsigned long size_)
    : bytes(static_cast<const char *>(bytes_)), size(size_)
{
	Elf64_Ehdr eh;
	if (size < sizeof(eh))
		return;
	memcpy(&eh, bytes, sizeof(eh));
	for (unsigned i = 0; i < eh.e_phnum; i++) {
		unsigned long at = eh.e_phoff + (unsigned long)i * eh.e_phentsize;
		Elf64_Phdr ph;
		if (at < eh.e_phoff || at > size || size - at < sizeof(ph))
			break;
		memcpy(&ph, bytes + at, sizeof(ph));
		if (ph.p_type == PT_LOAD && ph.p_filesz > 0)
			loads.push_back(ph);
	}
}

long ImageMemory::readMemory(unsigned long addr, void *buf, unsigned long want)
{
	for (const Elf64_Phdr &ph : loads) {
		if (addr < ph.p_vaddr || addr - ph.p_vaddr >= ph.p_filesz)
			continue;
		unsigned long delta = addr - ph.p_vaddr;
		unsigned long at = ph.p_offset + delta;
		if (at < ph.p_offset || at >= size)
			return -1;
		unsigned long n = std::min(want, std::min(ph.p_filesz - delta, size - at));
		memcpy(buf, bytes + at, n);
		return (long)n;
	}
	return -1;
}

} // namespace Skelvane

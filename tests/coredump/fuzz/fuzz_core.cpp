// libFuzzer harness: any bytes as a core file, read by Core::read and, when
// that succeeds, written out with every segment's bytes touched. The same
// bytes also go the collect mode's way: as a core stream, with the memory
// of the mappings taken from the bytes themselves, and the crash record made
// of it, written and read back. And they go the record's other ways: as the
// notes of a core, as a module's first page and as a module's file (the ELF
// file libelf reads for its build ID and symbols), and as a record.
#include "core.h"
#include "core_notes.h"
#include "crash_record.h"
#include "json_reader.h"
#include "module_file.h"
#include "record_builder.h"

#include <cstdint>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Consumes the output and folds every byte into a sum, so that a buffer
// pointing outside its chunk is read (and caught) here.
class SumBuf : public std::streambuf {
public:
	uint64_t sum = 0;

protected:
	std::streamsize xsputn(const char *s, std::streamsize n) override
	{
		for (std::streamsize i = 0; i < n; i++)
			sum = sum * 31 + (unsigned char)s[i];
		return n;
	}
	int_type overflow(int_type c) override
	{
		if (!traits_type::eq_int_type(c, traits_type::eof()))
			sum = sum * 31 + (unsigned char)c;
		return traits_type::not_eof(c);
	}
};

int memfd = -1, streamfd = -1, modulefd = -1;
std::string path;

void touchAll(const Skelvane::Core &core)
{
	SumBuf buf;
	std::ostream os(&buf);
	os << core;
	if (buf.sum == 42)
		asm volatile("");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// The run's messages are not what is being tested.
	std::cerr.rdbuf(nullptr);
	memfd = memfd_create("skelvane-fuzz", 0);
	streamfd = memfd_create("skelvane-fuzz-stream", 0);
	modulefd = memfd_create("skelvane-fuzz-module", 0);
	path = "/proc/self/fd/" + std::to_string(memfd);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (ftruncate(memfd, 0) != 0 || pwrite(memfd, data, size, 0) != (ssize_t)size)
		return 0;
	{
		Skelvane::Core core;
		core.buildIds = size & 1;
		if (core.read(path.c_str()))
			touchAll(core);
	}
	if (ftruncate(streamfd, 0) != 0 || pwrite(streamfd, data, size, 0) != (ssize_t)size ||
	    lseek(streamfd, 0, SEEK_SET) != 0)
		return 0;
	boost::shared_ptr<Skelvane::Memory> memory(new Skelvane::ImageMemory(data, size));
	Skelvane::Core core;
	core.buildIds = true;
	std::string why;
	if (core.collect(streamfd, memory, why))
		touchAll(core);
	if (core.reader) {
		Skelvane::CrashRecord record, back;
		Skelvane::recordCore(record, *core.reader, nullptr);
		if (!Skelvane::recordFromJson(Skelvane::recordToJson(record), back, why))
			__builtin_trap(); // a record written must read back
	}

	Skelvane::readCoreNotes(data, size);
	Skelvane::buildIdInPage(data, size);
	Skelvane::CrashRecord fromText;
	Skelvane::recordFromJson(std::string((const char *)data, size), fromText, why);
	if (ftruncate(modulefd, 0) == 0 && pwrite(modulefd, data, size, 0) == (ssize_t)size) {
		int fd = open(("/proc/self/fd/" + std::to_string(modulefd)).c_str(), O_RDONLY);
		if (boost::shared_ptr<Skelvane::ModuleFile> m = Skelvane::ModuleFile::open(fd, why)) {
			uint64_t base = 0;
			m->linkBase(base);
			m->buildId();
			m->functionsAt({base, base + 0x1000, 0x401000, ~0ull});
		}
	}
	return 0;
}

// Plain descriptor input and output shared by the core stream and the
// collector: every call retries on EINTR and reports a failure instead of
// leaving it to the caller to notice a short count.
#pragma once

#include <cstddef>
#include <streambuf>
#include <vector>

namespace Skelvane {

// Writes all n bytes at p to fd; false when a write fails or writes nothing.
bool writeAll(int fd, const void *p, size_t n);

// Reads from fd until buf holds upTo bytes; false when the stream ends (or a
// read fails) first, with buf holding what was read.
bool fillTo(int fd, std::vector<char> &buf, unsigned long upTo);

// Reads fd to its end; the number of bytes read. false in ok when a read
// failed before the end.
unsigned long drainStream(int fd, bool &ok);

// Unformatted output to a descriptor, with every failure kept in the
// stream's state.
class FdBuf : public std::streambuf {
public:
	explicit FdBuf(int fd);

protected:
	int_type overflow(int_type c) override;
	std::streamsize xsputn(const char *s, std::streamsize n) override;
	int sync() override;

private:
	FdBuf(const FdBuf &) = delete;
	FdBuf &operator=(const FdBuf &) = delete;
	bool flushBuffer();

	int fd;
	char buf[1 << 16];
};

} // namespace Skelvane

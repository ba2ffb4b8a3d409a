#include "fd_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace Skelvane {

bool writeAll(int fd, const void *buf, size_t n)
{
	const char *p = static_cast<const char *>(buf);
	while (n > 0) {
		ssize_t k = write(fd, p, n);
		if (k < 0 && errno == EINTR)
			continue;
		if (k <= 0)
			return false;
		p += k;
		n -= (size_t)k;
	}
	return true;
}

bool fillTo(int fd, std::vector<char> &buf, unsigned long upTo)
{
	size_t have = buf.size();
	if (upTo <= have)
		return true;
	buf.resize(upTo);
	while (have < upTo) {
		ssize_t n = read(fd, buf.data() + have, upTo - have);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			buf.resize(have);
			return false;
		}
		have += (size_t)n;
	}
	return true;
}

unsigned long drainStream(int fd, bool &ok)
{
	unsigned long total = 0;
	ok = true;
	// Moving the pages of a pipe to /dev/null copies nothing.
	int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
	if (sink >= 0) {
		for (;;) {
			ssize_t n = splice(fd, nullptr, sink, nullptr, 1 << 30, SPLICE_F_MOVE);
			if (n > 0) {
				total += (unsigned long)n;
				continue;
			}
			if (n < 0 && errno == EINTR)
				continue;
			if (n == 0) {
				close(sink);
				return total;
			}
			break; // no pipe: read it instead
		}
		close(sink);
	}
	static char buf[1 << 16];
	for (;;) {
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n > 0)
			total += (unsigned long)n;
		else if (n == 0)
			return total;
		else if (errno != EINTR) {
			ok = false;
			return total;
		}
	}
}

FdBuf::FdBuf(int fd_) : fd(fd_)
{
	setp(buf, buf + sizeof(buf));
}

FdBuf::int_type FdBuf::overflow(int_type c)
{
	if (!flushBuffer())
		return traits_type::eof();
	if (!traits_type::eq_int_type(c, traits_type::eof())) {
		*pptr() = traits_type::to_char_type(c);
		pbump(1);
	}
	return traits_type::not_eof(c);
}

std::streamsize FdBuf::xsputn(const char *s, std::streamsize n)
{
	if (n < (std::streamsize)(epptr() - pptr())) {
		memcpy(pptr(), s, (size_t)n);
		pbump((int)n);
		return n;
	}
	if (!flushBuffer() || !writeAll(fd, s, (size_t)n))
		return 0;
	return n;
}

int FdBuf::sync()
{
	return flushBuffer() ? 0 : -1;
}

bool FdBuf::flushBuffer()
{
	bool ok = writeAll(fd, pbase(), (size_t)(pptr() - pbase()));
	setp(buf, buf + sizeof(buf));
	return ok;
}

} // namespace Skelvane

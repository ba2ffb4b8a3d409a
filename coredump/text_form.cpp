#include "text_form.h"

#include <cstdio>
#include <ctime>

namespace Skelvane {

size_t validUtf8Length(const std::string &s, size_t i)
{
	unsigned char c = (unsigned char)s[i];
	if (c < 0x80)
		return 1;
	size_t n;
	unsigned char lo = 0x80, hi = 0xbf; // range of the second byte
	if (c >= 0xc2 && c <= 0xdf) {
		n = 2;
	} else if (c >= 0xe0 && c <= 0xef) {
		n = 3;
		if (c == 0xe0)
			lo = 0xa0; // no overlong forms
		else if (c == 0xed)
			hi = 0x9f; // no surrogates
	} else if (c >= 0xf0 && c <= 0xf4) {
		n = 4;
		if (c == 0xf0)
			lo = 0x90;
		else if (c == 0xf4)
			hi = 0x8f; // nothing above U+10FFFF
	} else {
		return 0;
	}
	if (s.size() - i < n)
		return 0;
	unsigned char second = (unsigned char)s[i + 1];
	if (second < lo || second > hi)
		return 0;
	for (size_t k = 2; k < n; k++)
		if (((unsigned char)s[i + k] & 0xc0) != 0x80)
			return 0;
	return n;
}

std::string sizeInWords(unsigned long long bytes)
{
	static const char *units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
	if (bytes < 1024)
		return std::to_string(bytes) + " B";
	double v = (double)bytes / 1024;
	size_t u = 0;
	while (v >= 1024 && u + 1 < sizeof(units) / sizeof(units[0])) {
		v /= 1024;
		u++;
	}
	char buf[32];
	if (v < 9.95)
		snprintf(buf, sizeof(buf), "%.1f %s", v, units[u]);
	else
		snprintf(buf, sizeof(buf), "%.0f %s", v, units[u]);
	return buf;
}

std::string timeInWords(long long seconds)
{
	time_t t = (time_t)seconds;
	struct tm tm;
	char buf[64];
	if (!localtime_r(&t, &tm) || strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S %Z", &tm) == 0)
		return std::to_string(seconds);
	return buf;
}

std::string printable(const std::string &text)
{
	std::string out;
	char esc[8];
	for (size_t i = 0; i < text.size();) {
		size_t n = validUtf8Length(text, i);
		unsigned char c = (unsigned char)text[i];
		bool control = n == 1 ? (c < 0x20 || c == 0x7f) : n == 2 && c == 0xc2 && (unsigned char)text[i + 1] < 0xa0;
		if (n == 0 || control) {
			// the whole sequence of a C1 control, or the one bad byte
			size_t k = n ? n : 1;
			for (size_t j = 0; j < k; j++) {
				snprintf(esc, sizeof(esc), "\\x%02x", (unsigned char)text[i + j]);
				out += esc;
			}
			i += k;
			continue;
		}
		if (c == '\\')
			out += "\\\\";
		else
			out.append(text, i, n);
		i += n;
	}
	return out;
}

} // namespace Skelvane

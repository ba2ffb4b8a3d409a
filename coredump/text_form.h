// The human forms the record's readers share: sizes and times in words, and
// text from a crashed process made safe to show on a terminal or in a log.
#pragma once

#include <cstddef>
#include <string>

namespace Skelvane {

// Length of the valid UTF-8 sequence at text[i] (an overlong form, an
// encoded surrogate or a code point above U+10FFFF is not valid), or 0 when
// the byte there does not start one.
size_t validUtf8Length(const std::string &text, size_t i);

// "812 B", "3.5 KiB", "38 KiB", "2.3 MiB", "1.0 GiB": powers of 1024, one
// decimal below 10 of a unit.
std::string sizeInWords(unsigned long long bytes);

// "2026-12-09 20:16:05 UTC": local time, with its zone.
std::string timeInWords(long long seconds);

// text with every byte that could act on a terminal or break a line
// written as \xNN: C0 and C1 control characters, DEL, and bytes that are
// not valid UTF-8; a backslash becomes \\. Printable UTF-8 stays.
std::string printable(const std::string &text);

} // namespace Skelvane

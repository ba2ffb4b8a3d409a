// The crash record's JSON, written by hand. Most of what a record holds
// comes from the crashed process (its name, command line, paths, symbol
// names), so every string is escaped here whatever bytes it holds: the
// output is always valid UTF-8 JSON, and safe to print.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Skelvane {

// Appends text as a JSON string, quotes included. Valid UTF-8 stays as it
// is but for the quote and the backslash, the C0 and C1 control characters
// and DEL (written as \u00XX, \n, \t ...) and U+2028/U+2029 (\u2028,
// \u2029); every byte that is not part of valid UTF-8 (a stray continuation
// byte, a cut or overlong sequence, an encoded surrogate, a code point above
// U+10FFFF) becomes one U+FFFD, written as \ufffd.
void appendJsonString(std::string &out, const std::string &text);

// An indented JSON document, member by member. The caller pairs every
// begin with its end; a member's key comes first, then its value.
class JsonWriter {
public:
	JsonWriter &beginObject();
	JsonWriter &endObject();
	JsonWriter &beginArray();
	JsonWriter &endArray();
	JsonWriter &key(const std::string &name);
	JsonWriter &value(const std::string &text);
	JsonWriter &value(const char *text) { return value(std::string(text)); }
	JsonWriter &value(long long number);
	JsonWriter &value(unsigned long long number);
	JsonWriter &value(long number) { return value((long long)number); }
	JsonWriter &value(unsigned long number) { return value((unsigned long long)number); }
	JsonWriter &value(int number) { return value((long long)number); }
	JsonWriter &value(unsigned number) { return value((unsigned long long)number); }
	JsonWriter &value(bool truth);
	// An address: a string "0x..." in lower-case hexadecimal, which every
	// JSON reader keeps exact (a number above 2^53 is not).
	JsonWriter &address(uint64_t addr);

	// The document, ended by a newline once the outermost value is closed.
	const std::string &text() const { return out; }

private:
	// Starts an element: the comma and indentation that come before it.
	void element();
	void raw(const std::string &s);

	std::string out;
	// per open object or array: whether it holds an element yet
	std::vector<bool> open;
	bool afterKey = false;
};

} // namespace Skelvane

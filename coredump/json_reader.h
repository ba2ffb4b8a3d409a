// Reads a crash record back. A record may be a copy that anyone edited, so
// the reader takes any bytes: it accepts strict JSON only, nests at most
// kMaxJsonDepth deep, and never reads past the text it is given.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Skelvane {

static const unsigned kMaxJsonDepth = 16;

struct JsonValue {
	enum Kind { Null, Bool, Number, String, Array, Object };
	Kind kind = Null;
	bool truth = false;
	// A number: integral ones (all a record holds) exactly, in `integer`
	// when `isInteger`; others only as text.
	bool isInteger = false;
	long long integer = 0;
	// A string, decoded to UTF-8 (an unpaired surrogate becomes U+FFFD); the
	// text of a number.
	std::string text;
	std::vector<JsonValue> items;                          // an array
	std::vector<std::pair<std::string, JsonValue> > members; // an object, in order

	// The first member named key of an object, or null.
	const JsonValue *get(const std::string &key) const;
	// Typed members: false (out untouched) when missing or of another kind.
	bool getString(const std::string &key, std::string &out) const;
	bool getInteger(const std::string &key, long long &out) const;
	bool getBool(const std::string &key, bool &out) const;
	// An address written as "0x..." (JsonWriter::address).
	bool getAddress(const std::string &key, uint64_t &out) const;
};

// Parses a whole document; false with the reason and where in why.
bool parseJson(const std::string &text, JsonValue &out, std::string &why);

} // namespace Skelvane

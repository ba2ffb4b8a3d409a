#include "json_reader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace Skelvane {

namespace {

class Parser {
public:
	explicit Parser(const std::string &t) : text(t) {}

	bool document(JsonValue &out, std::string &why)
	{
		skipSpace();
		if (!parseValue(out, 0)) {
			why = error + " at byte " + std::to_string(at);
			return false;
		}
		skipSpace();
		if (at != text.size()) {
			why = "text after the document at byte " + std::to_string(at);
			return false;
		}
		return true;
	}

private:
	bool fail(const char *what)
	{
		error = what;
		return false;
	}

	void skipSpace()
	{
		while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
			at++;
	}

	bool literal(const char *word)
	{
		size_t n = strlen(word);
		if (text.compare(at, n, word) != 0)
			return fail("an unknown word");
		at += n;
		return true;
	}

	bool parseValue(JsonValue &v, unsigned depth)
	{
		if (at >= text.size())
			return fail("the text ends where a value should be");
		char c = text[at];
		if (c == '{' || c == '[') {
			if (depth >= kMaxJsonDepth)
				return fail("nested too deep");
			return c == '{' ? parseObject(v, depth + 1) : parseArray(v, depth + 1);
		}
		if (c == '"') {
			v.kind = JsonValue::String;
			return parseString(v.text);
		}
		if (c == 't') {
			v.kind = JsonValue::Bool;
			v.truth = true;
			return literal("true");
		}
		if (c == 'f') {
			v.kind = JsonValue::Bool;
			return literal("false");
		}
		if (c == 'n') {
			v.kind = JsonValue::Null;
			return literal("null");
		}
		return parseNumber(v);
	}

	bool parseObject(JsonValue &v, unsigned depth)
	{
		v.kind = JsonValue::Object;
		at++;
		skipSpace();
		if (at < text.size() && text[at] == '}') {
			at++;
			return true;
		}
		for (;;) {
			skipSpace();
			if (at >= text.size() || text[at] != '"')
				return fail("a member without a name");
			std::string key;
			if (!parseString(key))
				return false;
			skipSpace();
			if (at >= text.size() || text[at] != ':')
				return fail("a name without a colon");
			at++;
			skipSpace();
			v.members.emplace_back(key, JsonValue());
			if (!parseValue(v.members.back().second, depth))
				return false;
			skipSpace();
			if (at < text.size() && text[at] == ',') {
				at++;
				continue;
			}
			if (at < text.size() && text[at] == '}') {
				at++;
				return true;
			}
			return fail("an object not closed");
		}
	}

	bool parseArray(JsonValue &v, unsigned depth)
	{
		v.kind = JsonValue::Array;
		at++;
		skipSpace();
		if (at < text.size() && text[at] == ']') {
			at++;
			return true;
		}
		for (;;) {
			skipSpace();
			v.items.emplace_back();
			if (!parseValue(v.items.back(), depth))
				return false;
			skipSpace();
			if (at < text.size() && text[at] == ',') {
				at++;
				continue;
			}
			if (at < text.size() && text[at] == ']') {
				at++;
				return true;
			}
			return fail("an array not closed");
		}
	}

	bool hex4(unsigned &code)
	{
		if (text.size() - at < 4)
			return fail("a cut \\u escape");
		code = 0;
		for (int i = 0; i < 4; i++) {
			char c = text[at++];
			code <<= 4;
			if (c >= '0' && c <= '9')
				code |= (unsigned)(c - '0');
			else if (c >= 'a' && c <= 'f')
				code |= (unsigned)(c - 'a' + 10);
			else if (c >= 'A' && c <= 'F')
				code |= (unsigned)(c - 'A' + 10);
			else
				return fail("a bad \\u escape");
		}
		return true;
	}

	static void putUtf8(std::string &out, unsigned code)
	{
		if (code < 0x80) {
			out += (char)code;
		} else if (code < 0x800) {
			out += (char)(0xc0 | (code >> 6));
			out += (char)(0x80 | (code & 0x3f));
		} else if (code < 0x10000) {
			out += (char)(0xe0 | (code >> 12));
			out += (char)(0x80 | ((code >> 6) & 0x3f));
			out += (char)(0x80 | (code & 0x3f));
		} else {
			out += (char)(0xf0 | (code >> 18));
			out += (char)(0x80 | ((code >> 12) & 0x3f));
			out += (char)(0x80 | ((code >> 6) & 0x3f));
			out += (char)(0x80 | (code & 0x3f));
		}
	}

	bool parseString(std::string &out)
	{
		at++; // the opening quote
		for (;;) {
			if (at >= text.size())
				return fail("a string not closed");
			unsigned char c = (unsigned char)text[at++];
			if (c == '"')
				return true;
			if (c < 0x20)
				return fail("a control character in a string");
			if (c != '\\') {
				out += (char)c;
				continue;
			}
			if (at >= text.size())
				return fail("a string not closed");
			char e = text[at++];
			switch (e) {
			case '"':
			case '\\':
			case '/':
				out += e;
				break;
			case 'b':
				out += '\b';
				break;
			case 'f':
				out += '\f';
				break;
			case 'n':
				out += '\n';
				break;
			case 'r':
				out += '\r';
				break;
			case 't':
				out += '\t';
				break;
			case 'u': {
				unsigned code;
				if (!hex4(code))
					return false;
				if (code >= 0xd800 && code < 0xdc00 && text.compare(at, 2, "\\u") == 0) {
					size_t back = at;
					at += 2;
					unsigned low;
					if (!hex4(low))
						return false;
					if (low >= 0xdc00 && low < 0xe000)
						code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
					else
						at = back; // the next escape stands alone
				}
				if (code >= 0xd800 && code < 0xe000)
					code = 0xfffd;
				putUtf8(out, code);
				break;
			}
			default:
				return fail("an unknown escape");
			}
		}
	}

	bool parseNumber(JsonValue &v)
	{
		size_t start = at;
		if (at < text.size() && text[at] == '-')
			at++;
		size_t digits = at;
		while (at < text.size() && text[at] >= '0' && text[at] <= '9')
			at++;
		if (at == digits)
			return fail("no value");
		if (text[digits] == '0' && at - digits > 1)
			return fail("a number with a leading zero");
		bool integral = true;
		if (at < text.size() && text[at] == '.') {
			integral = false;
			size_t f = ++at;
			while (at < text.size() && text[at] >= '0' && text[at] <= '9')
				at++;
			if (at == f)
				return fail("a number cut after its point");
		}
		if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
			integral = false;
			at++;
			if (at < text.size() && (text[at] == '+' || text[at] == '-'))
				at++;
			size_t e = at;
			while (at < text.size() && text[at] >= '0' && text[at] <= '9')
				at++;
			if (at == e)
				return fail("a number cut in its exponent");
		}
		v.kind = JsonValue::Number;
		v.text = text.substr(start, at - start);
		if (integral) {
			errno = 0;
			char *end = nullptr;
			long long n = strtoll(v.text.c_str(), &end, 10);
			if (errno == 0 && end && *end == '\0') {
				v.isInteger = true;
				v.integer = n;
			}
		}
		return true;
	}

	const std::string &text;
	size_t at = 0;
	std::string error;
};

} // namespace

const JsonValue *JsonValue::get(const std::string &key) const
{
	if (kind != Object)
		return nullptr;
	for (auto &m : members)
		if (m.first == key)
			return &m.second;
	return nullptr;
}

bool JsonValue::getString(const std::string &key, std::string &out) const
{
	const JsonValue *v = get(key);
	if (!v || v->kind != String)
		return false;
	out = v->text;
	return true;
}

bool JsonValue::getInteger(const std::string &key, long long &out) const
{
	const JsonValue *v = get(key);
	if (!v || v->kind != Number || !v->isInteger)
		return false;
	out = v->integer;
	return true;
}

bool JsonValue::getBool(const std::string &key, bool &out) const
{
	const JsonValue *v = get(key);
	if (!v || v->kind != Bool)
		return false;
	out = v->truth;
	return true;
}

bool JsonValue::getAddress(const std::string &key, uint64_t &out) const
{
	std::string s;
	if (!getString(key, s) || s.size() < 3 || s.size() > 18 || s.compare(0, 2, "0x") != 0 ||
	    s.find_first_not_of("0123456789abcdef", 2) != std::string::npos)
		return false;
	out = strtoull(s.c_str() + 2, nullptr, 16);
	return true;
}

bool parseJson(const std::string &text, JsonValue &out, std::string &why)
{
	out = JsonValue();
	return Parser(text).document(out, why);
}

} // namespace Skelvane

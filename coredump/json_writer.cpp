#include "json_writer.h"

#include "text_form.h"

#include <cstdio>

namespace Skelvane {

namespace {

void appendEscape(std::string &out, unsigned code)
{
	char buf[8];
	snprintf(buf, sizeof(buf), "\\u%04x", code);
	out += buf;
}

} // namespace

void appendJsonString(std::string &out, const std::string &text)
{
	out += '"';
	for (size_t i = 0; i < text.size();) {
		size_t n = validUtf8Length(text, i);
		if (n == 0) {
			appendEscape(out, 0xfffd);
			i++;
			continue;
		}
		unsigned char c = (unsigned char)text[i];
		if (n == 1) {
			switch (c) {
			case '"':
				out += "\\\"";
				break;
			case '\\':
				out += "\\\\";
				break;
			case '\n':
				out += "\\n";
				break;
			case '\t':
				out += "\\t";
				break;
			case '\r':
				out += "\\r";
				break;
			default:
				if (c < 0x20 || c == 0x7f)
					appendEscape(out, c);
				else
					out += (char)c;
			}
		} else if (n == 2 && c == 0xc2 && (unsigned char)text[i + 1] < 0xa0) {
			// C1 controls, U+0080 to U+009F: some terminals obey them
			appendEscape(out, (unsigned char)text[i + 1]);
		} else if (n == 3 && c == 0xe2 && (unsigned char)text[i + 1] == 0x80 &&
			   ((unsigned char)text[i + 2] == 0xa8 || (unsigned char)text[i + 2] == 0xa9)) {
			// line and paragraph separators end a line in some readers
			appendEscape(out, 0x2000 + ((unsigned char)text[i + 2] - 0x80));
		} else {
			out.append(text, i, n);
		}
		i += n;
	}
	out += '"';
}

void JsonWriter::raw(const std::string &s)
{
	out += s;
}

void JsonWriter::element()
{
	if (afterKey) {
		afterKey = false;
		return;
	}
	if (open.empty())
		return;
	if (open.back())
		out += ',';
	open.back() = true;
	out += '\n';
	out.append(open.size(), '\t');
}

JsonWriter &JsonWriter::beginObject()
{
	element();
	out += '{';
	open.push_back(false);
	return *this;
}

JsonWriter &JsonWriter::beginArray()
{
	element();
	out += '[';
	open.push_back(false);
	return *this;
}

JsonWriter &JsonWriter::endObject()
{
	bool any = !open.empty() && open.back();
	if (!open.empty())
		open.pop_back();
	if (any) {
		out += '\n';
		out.append(open.size(), '\t');
	}
	out += '}';
	if (open.empty())
		out += '\n';
	return *this;
}

JsonWriter &JsonWriter::endArray()
{
	bool any = !open.empty() && open.back();
	if (!open.empty())
		open.pop_back();
	if (any) {
		out += '\n';
		out.append(open.size(), '\t');
	}
	out += ']';
	if (open.empty())
		out += '\n';
	return *this;
}

JsonWriter &JsonWriter::key(const std::string &name)
{
	element();
	appendJsonString(out, name);
	out += ": ";
	afterKey = true;
	return *this;
}

JsonWriter &JsonWriter::value(const std::string &text)
{
	element();
	appendJsonString(out, text);
	return *this;
}

JsonWriter &JsonWriter::value(long long number)
{
	element();
	raw(std::to_string(number));
	return *this;
}

JsonWriter &JsonWriter::value(unsigned long long number)
{
	element();
	raw(std::to_string(number));
	return *this;
}

JsonWriter &JsonWriter::value(bool truth)
{
	element();
	raw(truth ? "true" : "false");
	return *this;
}

JsonWriter &JsonWriter::address(uint64_t addr)
{
	char buf[24];
	snprintf(buf, sizeof(buf), "0x%llx", (unsigned long long)addr);
	return value(std::string(buf));
}

} // namespace Skelvane

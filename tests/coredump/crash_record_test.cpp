// The crash record without the kernel: its JSON both ways, the notes it
// reads, what it makes of a hand-built core, the symbols and build IDs of a
// real ELF file, and the words --list and --info show it in.
#include "core_notes.h"
#include "crash_listing.h"
#include "crash_record.h"
#include "dir_listing.h"
#include "json_reader.h"
#include "json_writer.h"
#include "module_file.h"
#include "opened_core.h"
#include "record_builder.h"
#include "text_form.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::TempDir;

namespace {

std::string json(const std::string &s)
{
	std::string out;
	Skelvane::appendJsonString(out, s);
	return out;
}

} // namespace

// Whatever bytes a process chose, the JSON is valid UTF-8 with nothing a
// terminal or a line-based reader obeys; valid text comes back unchanged.
TEST(CrashRecord, StringsAreEscapedWhateverTheirBytes)
{
	struct Case {
		const char *what;
		std::string in, out;
		bool roundTrip; // read back as it was
	} cases[] = {
		{"plain", "seg", "\"seg\"", true},
		{"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\"", true},
		{"line ends and tab", "a\nb\rc\td", "\"a\\nb\\rc\\td\"", true},
		{"C0 controls and DEL", std::string("\x01\x1b[2J\x7f", 6), "\"\\u0001\\u001b[2J\\u007f\"", true},
		{"a NUL", std::string("a\0b", 3), "\"a\\u0000b\"", true},
		{"C1 control U+0085 and U+009B", "\xc2\x85\xc2\x9b", "\"\\u0085\\u009b\"", true},
		{"line separator U+2028", "\xe2\x80\xa8", "\"\\u2028\"", true},
		{"valid multibyte text", "caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\"", true},
		{"a stray byte", "a\xff" "b", "\"a\\ufffdb\"", false},
		{"a cut sequence", "\xe2\x82", "\"\\ufffd\\ufffd\"", false},
		{"an overlong slash", "\xc0\xaf", "\"\\ufffd\\ufffd\"", false},
		{"an encoded surrogate", "\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\"", false},
		{"above U+10FFFF", "\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\"", false},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		std::string j = json(c.in);
		EXPECT_EQ(j, c.out);
		Skelvane::JsonValue v;
		std::string why;
		ASSERT_TRUE(Skelvane::parseJson(j, v, why)) << why;
		if (c.roundTrip) {
			EXPECT_EQ(v.text, c.in);
		}
	}
}

TEST(CrashRecord, TheReaderTakesStrictJsonOnly)
{
	const char *refused[] = {
		"", "{", "{\"a\":}", "[1,]", "01", "\"a\x01\"", "{\"a\" 1}", "1 2", "\"\\x\"", "tru", "-", "1.",
		"[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]", // 17 deep
	};
	for (const char *text : refused) {
		Skelvane::JsonValue v;
		std::string why;
		EXPECT_FALSE(Skelvane::parseJson(text, v, why)) << text;
		EXPECT_FALSE(why.empty()) << text;
	}
	Skelvane::JsonValue v;
	std::string why;
	ASSERT_TRUE(Skelvane::parseJson(
		"{\"s\": \"\\ud83d\\ude00\\ud800x\", \"n\": -12, \"big\": 99999999999999999999, \"f\": 1.5e3}", v, why))
		<< why;
	EXPECT_EQ(v.get("s")->text, "\xf0\x9f\x98\x80\xef\xbf\xbdx"); // a pair joined, a lone half replaced
	long long n = 0;
	EXPECT_TRUE(v.getInteger("n", n) && n == -12);
	EXPECT_FALSE(v.getInteger("big", n));
	EXPECT_FALSE(v.getInteger("f", n));
}

// Every field a record has survives writing and reading, hostile strings
// included; an address is kept exact as a string.
TEST(CrashRecord, ARecordReadsBackAsWritten)
{
	Skelvane::CrashRecord r;
	r.time = 1796839816;
	r.comm = "se\x1bg\xff";
	r.pid = 4242;
	r.pidInNs = 7;
	r.hasSignal = true;
	r.signal = 11;
	r.signalCode = 1;
	r.hasAddress = true;
	r.address = 0xffffffffff600000ull;
	r.hasIds = true;
	r.uid = 1000;
	r.gid = 100;
	r.executable = "/usr/bin/se\ng";
	r.cmdline = {"seg", "", "a \"b\""};
	r.cmdlineCut = true;
	r.cgroup = "0::/user.slice\n1:cpu:/";
	r.coreFile = "core.se_g_.4242.1796839816";
	r.coreSize = 38912;
	r.fullSize = 2412544;
	r.notKeptBefore = 95;
	Skelvane::RecordModule m;
	m.path = "/tmp/fifo";
	m.file = "/usr/lib/liba.so";
	m.hasBase = true;
	m.base = 0x7f0000000000ull;
	m.buildId = "0123abcd";
	m.unreadable = "its name is a FIFO, not the file mapped there";
	r.modules = {m, m};
	r.modules[1].unreadable.clear();
	r.modules[1].symbolsRead = true;
	Skelvane::RecordThread t;
	t.tid = 4242;
	t.tidInNs = 7;
	t.signalled = true;
	t.pc = 0x7f0000001139ull;
	t.module = 1;
	t.moduleOffset = 0x1139;
	t.function = "crash";
	t.functionOffset = 4;
	r.threads = {t, t};
	r.threads[1].signalled = false;
	r.threads[1].module = -1;
	r.threads[1].function.clear();
	r.threadsLeftOut = 3;

	std::string text = Skelvane::recordToJson(r), why;
	Skelvane::CrashRecord back;
	ASSERT_TRUE(Skelvane::recordFromJson(text, back, why)) << why << "\n" << text;
	EXPECT_EQ(back.comm, "se\x1bg\xef\xbf\xbd");
	back.comm = r.comm;
	EXPECT_EQ(Skelvane::recordToJson(back), text);
	EXPECT_EQ(text.find('\x1b'), std::string::npos);

	// another version, or no record at all, is refused
	EXPECT_FALSE(Skelvane::recordFromJson("{\"record\": 2}", back, why));
	EXPECT_FALSE(Skelvane::recordFromJson("[]", back, why));
}

// The notes the record reads, and the same notes cut anywhere or lying
// about their sizes: what lies inside is read, nothing outside.
TEST(CrashRecord, NotesAreReadWithinTheirBounds)
{
	handcore::CoreImage c;
	c.addPrStatus(0x7ffff0001000ull, sizeof(elf_prstatus), 42);
	c.setThreadPc(0, 0x401139);
	c.addPrStatus(0x7ffff0002000ull, sizeof(elf_prstatus), 43);
	c.addPrPsInfo(1000, 100, 42, "seg", "./seg --fast ");
	c.addSigInfo(SIGSEGV, SEGV_MAPERR, 0x1234);
	c.addFileNote({{0x400000, 0x401000, 0, "/usr/bin/seg"}, {0x401000, 0x402000, 0x1000, "/usr/bin/seg"}});
	c.addAuxv({{AT_PHDR, 0x400040}, {AT_NULL, 0}});
	handcore::Bytes notes = c.noteBytes();
	Skelvane::CoreNotes n = Skelvane::readCoreNotes(notes.data(), notes.size());
	ASSERT_EQ(n.threads.size(), 2u);
	EXPECT_EQ(n.threads[0].tid, 42);
	EXPECT_EQ(n.threads[0].pc, 0x401139u);
	EXPECT_EQ(n.threads[1].sp, 0x7ffff0002000ull);
	EXPECT_TRUE(n.process.present && n.process.uid == 1000 && n.process.gid == 100 && n.process.pid == 42);
	EXPECT_EQ(n.process.name, "seg");
	EXPECT_EQ(n.process.psargs, "./seg --fast");
	EXPECT_TRUE(n.signal.present && n.signal.number == SIGSEGV && n.signal.code == SEGV_MAPERR);
	EXPECT_TRUE(n.signal.hasAddress && n.signal.address == 0x1234);
	ASSERT_EQ(n.files.size(), 2u);
	EXPECT_EQ(n.files[1].offset, 0x1000u);
	EXPECT_EQ(n.fileAt(0x401fff)->path, "/usr/bin/seg");
	EXPECT_EQ(n.fileAt(0x402000), nullptr);
	EXPECT_EQ(n.auxvValue(AT_PHDR), 0x400040u);

	// cut anywhere: a prefix of what was read, and never a read outside
	for (size_t cut = 0; cut < notes.size(); cut++) {
		std::vector<uint8_t> part(notes.begin(), notes.begin() + cut);
		Skelvane::CoreNotes p = Skelvane::readCoreNotes(part.data(), part.size());
		ASSERT_LE(p.threads.size(), 2u);
		ASSERT_LE(p.files.size(), 2u);
	}
	auto words = [](std::vector<uint64_t> w, const std::string &tail) {
		handcore::Bytes b((const uint8_t *)w.data(), (const uint8_t *)(w.data() + w.size()));
		b.insert(b.end(), tail.begin(), tail.end());
		return b;
	};
	struct Case {
		const char *what;
		uint32_t type;
		handcore::Bytes desc;
	} lies[] = {
		{"a file note counting more mappings than it holds", 0x46494c45, words({1ull << 40, 4096}, "")},
		{"a file note whose name is cut", 0x46494c45, words({1, 4096, 0x1000, 0x2000, 0}, "/x")},
		{"a signal note of eight bytes", 0x53494749, words({11}, "")},
		{"a process note too short", NT_PRPSINFO, handcore::Bytes(40, 1)},
	};
	for (const Case &l : lies) {
		SCOPED_TRACE(l.what);
		handcore::CoreImage h;
		h.addNote(l.type, l.desc);
		handcore::Bytes b = h.noteBytes();
		Skelvane::CoreNotes p = Skelvane::readCoreNotes(b.data(), b.size());
		EXPECT_TRUE(p.files.empty());
		EXPECT_FALSE(p.signal.present);
		EXPECT_FALSE(p.process.present);
	}
	// a descriptor size beyond the segment ends the walk there
	handcore::Bytes big = notes;
	uint32_t huge = 0xfffffff0;
	memcpy(&big[4], &huge, 4);
	EXPECT_TRUE(Skelvane::readCoreNotes(big.data(), big.size()).threads.empty());
}

// A hand-built core read as a file, the process gone: the notes give the
// signal, ids and the pid in its namespace, the link map the modules (the
// real names, not the stripped core's), NT_FILE their files and the
// threads' modules; no file is read.
TEST(CrashRecord, WhatARecordMakesOfAHandBuiltCore)
{
	handcore::CoreImage c = handcore::standardCore();
	c.setThreadPc(0, 0x400123);
	c.addSigInfo(SIGBUS, BUS_ADRERR, 0x600800);
	c.addPrPsInfo(1000, 100, 9, "seg", "seg");
	c.addFileNote({{0x400000, 0x402000, 0, "/usr/bin/seg"}});
	handcore::Opened o(c);
	ASSERT_TRUE(o.reader) << o.why;
	Skelvane::CrashRecord r;
	r.pid = 4242;
	Skelvane::recordCore(r, *o.reader, nullptr);
	EXPECT_TRUE(r.hasSignal && r.signal == SIGBUS && r.signalCode == BUS_ADRERR && r.address == 0x600800);
	EXPECT_TRUE(r.hasIds && r.uid == 1000 && r.gid == 100);
	EXPECT_EQ(r.pidInNs, 9);
	EXPECT_EQ(r.executable, "/usr/bin/seg");
	ASSERT_EQ(r.modules.size(), 3u);
	EXPECT_EQ(r.modules[0].path, "/usr/bin/seg");
	EXPECT_EQ(r.modules[0].file, "/usr/bin/seg");
	EXPECT_EQ(r.modules[0].base, 0x400000u);
	EXPECT_EQ(r.modules[0].unreadable, "its file is read only while the process exists");
	EXPECT_EQ(r.modules[1].path, "/lib/x86_64-linux-gnu/libpthread.so.0");
	EXPECT_EQ(r.modules[1].unreadable, "no mapped file holds its dynamic section");
	ASSERT_EQ(r.threads.size(), 2u);
	EXPECT_TRUE(r.threads[0].signalled);
	EXPECT_EQ(r.threads[0].module, 0);
	EXPECT_EQ(r.threads[0].moduleOffset, 0x123u);
	EXPECT_EQ(r.threads[1].module, -1);
}

namespace {
extern "C" __attribute__((noinline, used)) int skv_probe_one(int x)
{
	asm volatile("" ::: "memory");
	return x * 3 + 1;
}
extern "C" __attribute__((noinline, used)) int skv_probe_two(int x)
{
	asm volatile("" ::: "memory");
	return x * 5 + 2;
}

int bias(dl_phdr_info *info, size_t, void *out)
{
	*(uint64_t *)out = info->dlpi_addr; // the first one is the program
	return 1;
}
} // namespace

// This test program's own file, as a module: its functions by address, its
// build ID the same from the file and from its first page in memory; and
// files that are no module of this machine are refused.
TEST(CrashRecord, ModuleFilesGiveFunctionsAndBuildIds)
{
	uint64_t loadBias = 0;
	dl_iterate_phdr(bias, &loadBias);
	std::string why;
	boost::shared_ptr<Skelvane::ModuleFile> self = Skelvane::ModuleFile::open(open("/proc/self/exe", O_RDONLY), why);
	ASSERT_TRUE(self) << why;
	uint64_t one = (uint64_t)&skv_probe_one - loadBias, two = (uint64_t)&skv_probe_two - loadBias;
	std::vector<Skelvane::FunctionHit> hits = self->functionsAt({one, one + 3, two, 0x10});
	ASSERT_EQ(hits.size(), 4u);
	EXPECT_EQ(hits[0].name, "skv_probe_one");
	EXPECT_EQ(hits[0].offset, 0u);
	EXPECT_EQ(hits[1].name, "skv_probe_one");
	EXPECT_EQ(hits[1].offset, 3u);
	EXPECT_EQ(hits[2].name, "skv_probe_two");
	EXPECT_EQ(hits[3].name, "");
	uint64_t linked = 1;
	ASSERT_TRUE(self->linkBase(linked));
	std::string id = self->buildId();
	EXPECT_EQ(id.size(), 40u);
	EXPECT_EQ(Skelvane::buildIdInPage((const void *)(loadBias + linked), 4096), id);

	TempDir t("skvmodule");
	std::string text = t.path() + "/text", cut = t.path() + "/cut";
	std::ofstream(text) << "not an ELF file\n";
	std::string head = readFile("/proc/self/exe").substr(0, 200);
	std::ofstream(cut, std::ios::binary) << head;
	EXPECT_FALSE(Skelvane::ModuleFile::open(open(text.c_str(), O_RDONLY), why));
	EXPECT_EQ(why, "its mapped file is not a 64-bit x86 ELF file");
	// an ELF header whose tables lie beyond the file: no functions, no ID
	if (boost::shared_ptr<Skelvane::ModuleFile> m = Skelvane::ModuleFile::open(open(cut.c_str(), O_RDONLY), why)) {
		EXPECT_EQ(m->buildId(), "");
		EXPECT_EQ(m->functionsAt({one})[0].name, "");
	}
	// a page cut anywhere gives the ID or nothing
	for (size_t n = 0; n < 4096; n += 7) {
		std::string got = Skelvane::buildIdInPage((const void *)(loadBias + linked), n);
		EXPECT_TRUE(got.empty() || got == id) << n;
	}
}

// Sizes and untrusted text as --list, --info and the log show them.
TEST(CrashRecord, TextShownToPeople)
{
	struct Size {
		unsigned long long bytes;
		const char *words;
	} sizes[] = {{0, "0 B"},          {1023, "1023 B"},        {1024, "1.0 KiB"},
		     {38912, "38 KiB"},    {2411724, "2.3 MiB"},    {1ull << 30, "1.0 GiB"}};
	for (auto &s : sizes)
		EXPECT_EQ(Skelvane::sizeInWords(s.bytes), s.words) << s.bytes;
	struct Shown {
		std::string in, out;
	} shown[] = {{"seg", "seg"},
		     {"a\\b", "a\\\\b"},
		     {"\x1b[2J", "\\x1b[2J"},
		     {"\xc2\x9b" "1m", "\\xc2\\x9b1m"},
		     {"a\nb", "a\\x0ab"},
		     {"caf\xc3\xa9", "caf\xc3\xa9"},
		     {"\xff", "\\xff"}};
	for (auto &s : shown)
		EXPECT_EQ(Skelvane::printable(s.in), s.out) << s.out;
}

// --list on a directory of records, a core without one and a broken record:
// one line each under the headings, oldest first, with nothing a terminal
// obeys; --info tells a record in full the same way.
TEST(CrashRecord, ListAndInfoShowRecordsSafely)
{
	setenv("TZ", "UTC", 1);
	TempDir t("skvlist");
	auto put = [&](const std::string &name, const std::string &text) { std::ofstream(t.path() + "/" + name) << text; };
	Skelvane::CrashRecord a;
	a.time = 2000;
	a.comm = "evil\x1b]0;owned\x07";
	a.pid = 12;
	a.hasIds = true;
	a.uid = 1000;
	a.hasSignal = true;
	a.signal = SIGABRT;
	a.executable = "/opt/\x1b[31mred";
	a.coreFile = "core.evil.12.2000";
	a.coreSize = 5000;
	a.fullSize = 1 << 20;
	Skelvane::RecordThread th;
	th.signalled = true;
	th.tid = 12;
	th.pc = 0x1000;
	th.function = "abort\x1b[0m";
	a.threads = {th};
	put("core.evil.12.2000.json", Skelvane::recordToJson(a));
	put("core.evil.12.2000", std::string(5000, 'x'));
	Skelvane::CrashRecord b = a;
	b.time = 1000;
	b.pid = 11;
	b.comm = "early";
	b.executable = "/bin/early";
	b.coreFile.clear();
	b.notKept = "it needs 40 KiB and only 3 KiB are free";
	put("core.early.11.1000.json", Skelvane::recordToJson(b));
	put("core.old.10.500", "old");
	put("core.bad.13.3000.json", "{not json");
	put("notes.txt", "not a crash");

	std::ostringstream list;
	std::string why;
	ASSERT_TRUE(Skelvane::listCrashes(t.path(), list, why)) << why;
	std::vector<std::string> lines;
	std::istringstream in(list.str());
	for (std::string l; std::getline(in, l);)
		lines.push_back(l);
	ASSERT_EQ(lines.size(), 5u) << list.str();
	EXPECT_EQ(lines[0].rfind("TIME", 0), 0u);
	EXPECT_NE(lines[1].find(" old "), std::string::npos) << lines[1];
	EXPECT_NE(lines[2].find(" /bin/early "), std::string::npos) << lines[2];
	EXPECT_NE(lines[2].find("  -  "), std::string::npos) << lines[2]; // no core kept
	EXPECT_NE(lines[3].find(" SIGABRT "), std::string::npos) << lines[3];
	EXPECT_NE(lines[3].find("/opt/\\x1b[31mred"), std::string::npos) << lines[3];
	EXPECT_NE(lines[3].find("4.9 KiB"), std::string::npos) << lines[3];
	EXPECT_NE(lines[4].find("(record unreadable)"), std::string::npos) << lines[4];
	EXPECT_EQ(list.str().find('\x1b'), std::string::npos);

	std::ostringstream info;
	ASSERT_TRUE(Skelvane::describeCrash(t.path() + "/core.evil.12.2000", info, why)) << why;
	EXPECT_EQ(info.str().find('\x1b'), std::string::npos) << info.str();
	EXPECT_EQ(info.str().find('\x07'), std::string::npos) << info.str();
	EXPECT_NE(info.str().find("* 12  abort\\x1b[0m"), std::string::npos) << info.str();
	EXPECT_FALSE(Skelvane::describeCrash(t.path() + "/core.bad.13.3000.json", info, why));
	EXPECT_FALSE(Skelvane::describeCrash(t.path() + "/notes.txt", info, why));
	EXPECT_FALSE(Skelvane::listCrashes(t.path() + "/none", info, why));
}

// The Builder on hand-built cores: what is kept, in which order, and every
// way the chain from the notes to the stacks can break.
#include "builder.h"
#include "core.h"
#include "elf_view.h"
#include "hand_core.h"
#include "opened_core.h"
#include "test_support.h"

#include <sstream>

using namespace Skelvane;
using handcore::CoreImage;
using handcore::Layout;
using handcore::Opened;

namespace {

std::string text(const boost::shared_ptr<Segment> &s)
{
	return std::string((const char *)s->getBuffer(), s->getSize());
}

std::vector<boost::shared_ptr<Segment> > all(Builder &b)
{
	Result r;
	EXPECT_TRUE(b.getResult(r));
	return std::vector<boost::shared_ptr<Segment> >(r.segments.begin(), r.segments.end());
}

} // namespace

TEST(Builder, StandardCoreKeepsTheChainInOrder)
{
	for (bool pie : {false, true}) {
		SCOPED_TRACE(pie ? "PIE" : "fixed address");
		Layout L;
		L.pie = pie;
		Opened o(handcore::standardCore(L));
		ASSERT_TRUE(o.reader);
		Builder b(*o.reader);
		ASSERT_TRUE(b.readNote());
		ASSERT_TRUE(b.readDynamic());
		ASSERT_TRUE(b.readRDebug());
		ASSERT_TRUE(b.readLinkmaps());
		ASSERT_TRUE(b.readStacks());
		auto segs = all(b);
		// note, dynamic, r_debug, 3 x (link_map, name), 2 stacks
		ASSERT_EQ(segs.size(), 1u + 1 + 1 + 6 + 2);
		EXPECT_TRUE(dynamic_cast<Note *>(segs[0].get()));
		auto *dyn = dynamic_cast<Dynamic *>(segs[1].get());
		ASSERT_TRUE(dyn);
		// A PIE's dynamic section is moved to its run-time address; a
		// fixed-address executable keeps the linked one.
		EXPECT_EQ(dyn->getHeader(0).p_vaddr, L.dynamicAddr());
		EXPECT_EQ(dyn->getHeader(0).p_type, (uint32_t)PT_LOAD);
		EXPECT_EQ(dyn->getHeader(0).p_flags, (uint32_t)(PF_R | PF_W));
		EXPECT_EQ(dyn->getSize(), Layout::kDynEntries * sizeof(Elf64_Dyn));
		auto *rd = dynamic_cast<RDebug *>(segs[2].get());
		ASSERT_TRUE(rd);
		EXPECT_EQ(rd->getHeader(0).p_vaddr, Layout::kRDebug);
		for (size_t i = 0; i < 3; i++) {
			auto *lm = dynamic_cast<Linkmap *>(segs[3 + 2 * i].get());
			auto *str = dynamic_cast<String *>(segs[4 + 2 * i].get());
			ASSERT_TRUE(lm && str);
			EXPECT_EQ(lm->address, Layout::linkmapAddr(i));
			EXPECT_EQ(str->address, Layout::nameAddr(i));
		}
		// the names, with their NUL; libpthread becomes libathread, same length
		EXPECT_EQ(text(segs[4]), std::string("\0", 1));
		EXPECT_EQ(text(segs[6]), std::string("/lib/x86_64-linux-gnu/libathread.so.0\0", 38));
		EXPECT_EQ(text(segs[8]), std::string("/lib/x86_64-linux-gnu/libc.so.6\0", 32));
		for (int t = 0; t < 2; t++) {
			auto *st = dynamic_cast<Stack *>(segs[9 + t].get());
			ASSERT_TRUE(st);
			uint64_t sp = Layout::threadSp(t);
			EXPECT_EQ(st->address, sp & ~0xfffull);
			EXPECT_EQ(st->getSize(), Layout::kStack + 0x4000 - (sp & ~0xfffull));
			uint64_t first;
			memcpy(&first, st->getBuffer(), 8);
			EXPECT_EQ(first, st->address ^ 0x5a5a5a5a5a5a5a5aull);
		}
	}
}

TEST(Builder, StepsRunTheirPrerequisitesAndAppendOnlyOnce)
{
	Opened o(handcore::standardCore());
	Builder b(*o.reader);
	ASSERT_TRUE(b.readRDebug());
	auto segs = all(b);
	ASSERT_EQ(segs.size(), 3u);
	EXPECT_TRUE(dynamic_cast<Note *>(segs[0].get()));
	EXPECT_TRUE(dynamic_cast<Dynamic *>(segs[1].get()));
	EXPECT_TRUE(dynamic_cast<RDebug *>(segs[2].get()));
	ASSERT_TRUE(b.readNote());
	ASSERT_TRUE(b.readDynamic());
	ASSERT_TRUE(b.readRDebug());
	EXPECT_EQ(all(b).size(), 3u);
	// the chain and the stacks have no such memory: each call appends again
	ASSERT_TRUE(b.readLinkmaps());
	ASSERT_TRUE(b.readLinkmaps());
	EXPECT_EQ(all(b).size(), 3u + 12);
	ASSERT_TRUE(b.readStacks());
	ASSERT_TRUE(b.readStacks());
	EXPECT_EQ(all(b).size(), 3u + 12 + 4);

	Builder fresh(*o.reader);
	ASSERT_TRUE(fresh.readStacks());
	auto s = all(fresh);
	ASSERT_EQ(s.size(), 3u);
	EXPECT_TRUE(dynamic_cast<Note *>(s[0].get()));
}

TEST(Builder, ResultHeaderIsTheCoresWithTheNewTable)
{
	CoreImage c = handcore::standardCore();
	c.ehdr.e_entry = 0x1234;
	c.ehdr.e_flags = 0x55;
	// a core that announces a section header table (extended numbering)
	c.ehdr.e_shoff = 0x100000;
	c.ehdr.e_shnum = 1;
	c.ehdr.e_shentsize = sizeof(Elf64_Shdr);
	c.ehdr.e_shstrndx = 0;
	Opened o(c);
	Builder b(*o.reader);
	ASSERT_TRUE(b.readLinkmaps());
	Result r;
	ASSERT_TRUE(b.getResult(r));
	EXPECT_EQ(r.header.e_phoff, 64u);
	EXPECT_EQ(r.header.e_phnum, r.segments.size());
	EXPECT_EQ(r.header.e_type, ET_CORE);
	EXPECT_EQ(r.header.e_machine, EM_X86_64);
	EXPECT_EQ(r.header.e_entry, 0x1234u);
	EXPECT_EQ(r.header.e_flags, 0x55u);
	EXPECT_EQ(r.header.e_phentsize, 56);
	EXPECT_EQ(r.header.e_ehsize, 64);
	EXPECT_EQ(0, memcmp(r.header.e_ident, c.ehdr.e_ident, EI_NIDENT));
	// there is no section header table in the output, so none is announced
	EXPECT_EQ(r.header.e_shoff, 0u);
	EXPECT_EQ(r.header.e_shnum, 0);
	EXPECT_EQ(r.header.e_shentsize, 0);
	EXPECT_EQ(r.header.e_shstrndx, 0);
	// getResult replaces what the pair held
	ASSERT_TRUE(b.getResult(r));
	EXPECT_EQ(r.header.e_phnum, r.segments.size());
}

TEST(Builder, MoreSegmentsThanTheHeaderCanCountFailsTheResult)
{
	Layout L;
	L.threads = 1;
	Opened o(handcore::standardCore(L));
	Builder b(*o.reader);
	ASSERT_TRUE(b.readNote());
	// 1 note + 65534 stacks = 65535: still representable
	for (int i = 0; i < 65534; i++)
		ASSERT_TRUE(b.readStacks());
	Result r;
	ASSERT_TRUE(b.getResult(r));
	EXPECT_EQ(r.header.e_phnum, 65535);
	ASSERT_TRUE(b.readStacks());
	Result r2;
	EXPECT_FALSE(b.getResult(r2));
	EXPECT_TRUE(r2.segments.empty());
}

TEST(Builder, DynamicStepNeedsAuxvProgramHeadersAndDynamic)
{
	struct Case {
		const char *what;
		void (*shape)(Layout &);
	} cases[] = {
		{"no NT_AUXV note", [](Layout &L) { L.withAuxv = false; }},
		{"no PT_DYNAMIC (static executable)", [](Layout &L) { L.withDynamic = false; }},
		{"no PT_PHDR though PT_DYNAMIC is there", [](Layout &L) { L.withPhdr = false; }},
	};
	for (auto &cs : cases) {
		SCOPED_TRACE(cs.what);
		Layout L;
		cs.shape(L);
		Opened o(handcore::standardCore(L));
		Builder b(*o.reader);
		ASSERT_TRUE(b.readNote());
		EXPECT_FALSE(b.readDynamic());
		EXPECT_FALSE(b.readRDebug());
		EXPECT_EQ(all(b).size(), 1u);
	}
	{
		SCOPED_TRACE("no PT_NOTE");
		Layout L;
		L.withNote = false;
		Opened o(handcore::standardCore(L));
		Builder b(*o.reader);
		EXPECT_FALSE(b.readNote());
		EXPECT_FALSE(b.readDynamic());
		EXPECT_FALSE(b.readStacks());
		Result r;
		EXPECT_TRUE(b.getResult(r));
		EXPECT_EQ(r.header.e_phnum, 0);
	}
	{
		SCOPED_TRACE("PIE whose program header table lies in no dumped range");
		Layout L;
		L.pie = true;
		L.withAuxv = false;
		CoreImage c = handcore::standardCore(L);
		c.addAuxv({{AT_PHDR, 0x100000000ull}, {AT_PHENT, 56}, {AT_PHNUM, 3}});
		Opened o(c);
		Builder b(*o.reader);
		EXPECT_FALSE(b.readDynamic());
	}
	{
		SCOPED_TRACE("dynamic section cut off by the end of the file");
		Layout L;
		CoreImage c = handcore::standardCore(L);
		auto bytes = c.bytes();
		// the executable's mapping is the second segment in the file; cut it
		// just after its program headers, before the dynamic section
		elfview::View v(bytes);
		uint64_t cut = v.ph[1].p_offset + 0x400;
		Opened o(c, cut);
		Builder b(*o.reader);
		ASSERT_TRUE(b.readNote());
		EXPECT_FALSE(b.readDynamic());
	}
}

TEST(Builder, RDebugStepNeedsDebugEntryAndRecord)
{
	{
		Layout L;
		L.withDebug = false;
		Opened o(handcore::standardCore(L));
		Builder b(*o.reader);
		EXPECT_FALSE(b.readRDebug());
		EXPECT_EQ(all(b).size(), 2u);
	}
	{
		// DT_DEBUG pointing at memory that was not dumped
		Layout L;
		CoreImage c = handcore::standardCore(L);
		Elf64_Dyn d;
		d.d_tag = DT_DEBUG;
		d.d_un.d_ptr = 0x900000; // not dumped
		c.put(L.dynamicAddr() + sizeof(Elf64_Dyn), d);
		Opened o(c);
		Builder b(*o.reader);
		EXPECT_FALSE(b.readRDebug());
	}
}

TEST(Builder, ChainWalk)
{
	{
		SCOPED_TRACE("r_map 0: no objects, success");
		Layout L;
		L.zeroRMap = true;
		Opened o(handcore::standardCore(L));
		Builder b(*o.reader);
		ASSERT_TRUE(b.readLinkmaps());
		EXPECT_EQ(all(b).size(), 3u);
	}
	{
		SCOPED_TRACE("name outside dumped memory: one NUL byte, walk goes on");
		CoreImage c = handcore::standardCore();
		// in the mapping that was not dumped
		handcore::patchLinkmap(c, 1, [](link_map &m) { m.l_name = (char *)0x7ffff7001000ull; });
		Opened o(c);
		Builder b(*o.reader);
		ASSERT_TRUE(b.readLinkmaps());
		auto segs = all(b);
		ASSERT_EQ(segs.size(), 9u);
		EXPECT_EQ(segs[6]->getSize(), 1u);
		EXPECT_EQ(text(segs[6]), std::string("\0", 1));
		EXPECT_EQ(segs[6]->getHeader(0).p_vaddr, 0x7ffff7001000ull);
		EXPECT_EQ(segs[6]->getHeader(0).p_filesz, 1u);
		EXPECT_EQ(text(segs[8]), std::string("/lib/x86_64-linux-gnu/libc.so.6\0", 32));
	}
	{
		SCOPED_TRACE("unreadable link_map in mid-chain: nothing of the chain is added");
		CoreImage c = handcore::standardCore();
		handcore::patchLinkmap(c, 1, [](link_map &m) { m.l_next = (link_map *)0x7ffff7002000ull; });
		Opened o(c);
		Builder b(*o.reader);
		EXPECT_FALSE(b.readLinkmaps());
		EXPECT_EQ(all(b).size(), 3u);
	}
	{
		SCOPED_TRACE("link_map cut short by the end of the file");
		CoreImage c = handcore::standardCore();
		// the last record sits 20 bytes before the end of the data mapping
		handcore::patchLinkmap(c, 2, [](link_map &m) { m.l_next = (link_map *)(Layout::kData + 0x1000 - 20); });
		// the data mapping becomes the last one in the file
		std::swap(c.segs[2], c.segs.back());
		Opened o(c);
		Builder b(*o.reader);
		EXPECT_FALSE(b.readLinkmaps());
		EXPECT_EQ(all(b).size(), 3u);
	}
	{
		SCOPED_TRACE("a name without NUL in 4096 bytes fails the step");
		CoreImage c = handcore::standardCore();
		std::string longName(5000, 'x');
		auto &data = handcore::segAt(c, Layout::kData).data;
		data.resize(0x3000, 0);
		handcore::segAt(c, Layout::kData).ph.p_filesz = handcore::segAt(c, Layout::kData).ph.p_memsz = 0x3000;
		c.putString(Layout::kData + 0x1000, longName);
		handcore::patchLinkmap(c, 0, [](link_map &m) { m.l_name = (char *)(Layout::kData + 0x1000); });
		Opened o(c);
		Builder b(*o.reader);
		EXPECT_FALSE(b.readLinkmaps());
		EXPECT_EQ(all(b).size(), 3u);
	}
}

TEST(Builder, ChainThatLoopsEndsWithEveryRecordOnce)
{
	CoreImage c = handcore::standardCore();
	// back to the second record
	handcore::patchLinkmap(c, 2, [](link_map &m) { m.l_next = (link_map *)Layout::linkmapAddr(1); });
	{
		Opened o(c);
		Builder b(*o.reader);
		ASSERT_TRUE(b.readLinkmaps());
		auto segs = all(b);
		ASSERT_EQ(segs.size(), 9u);
		// the last record is kept as it was, pointing back
		link_map last;
		memcpy(&last, segs[7]->getBuffer(), sizeof(last));
		EXPECT_EQ((uint64_t)last.l_next, Layout::linkmapAddr(1));
	}
	// a record pointing to itself
	handcore::patchLinkmap(c, 0, [](link_map &m) { m.l_next = (link_map *)Layout::linkmapAddr(0); });
	{
		Opened o(c);
		Builder b(*o.reader);
		ASSERT_TRUE(b.readLinkmaps());
		EXPECT_EQ(all(b).size(), 5u);
	}
}

TEST(Builder, ChainLongerThanAnyHeaderCanHoldFails)
{
	// 65536 distinct records, each naming the same string
	const uint64_t n = 65536, at = 0x10000000ull;
	CoreImage c = handcore::standardCore();
	c.map(at, n * sizeof(link_map) + 0x1000);
	auto &data = c.segs.back().data;
	uint64_t name = at + n * sizeof(link_map);
	c.putString(name, "/lib/libx.so");
	for (uint64_t i = 0; i < n; i++) {
		link_map m;
		memset(&m, 0, sizeof(m));
		m.l_name = (char *)name;
		m.l_next = i + 1 < n ? (link_map *)(at + (i + 1) * sizeof(m)) : nullptr;
		memcpy(&data[i * sizeof(m)], &m, sizeof(m));
	}
	r_debug rd;
	memset(&rd, 0, sizeof(rd));
	rd.r_map = (link_map *)at;
	c.put(Layout::kRDebug, rd);
	Opened o(c);
	Builder b(*o.reader);
	EXPECT_FALSE(b.readLinkmaps());
	EXPECT_EQ(all(b).size(), 3u);
}

TEST(Builder, ThreadLibraryRenameStaysInsideTheName)
{
	Layout L;
	L.names = {"/usr/lib/libpthread.so.0", "/libpthread.so/ab", "/a/libpthread.so/abcdef",
		   "libpthread.so.0", "/opt/libpthread.so"};
	Opened o(handcore::standardCore(L));
	Builder b(*o.reader);
	ASSERT_TRUE(b.readLinkmaps());
	auto segs = all(b);
	ASSERT_EQ(segs.size(), 3u + 10);
	EXPECT_EQ(text(segs[4]), std::string("/usr/lib/libathread.so.0\0", 25));
	// the place four after the last '/' lies beyond the name: unchanged
	EXPECT_EQ(text(segs[6]), std::string("/libpthread.so/ab\0", 18));
	// the place exists, though it is not the 'p' of the match
	EXPECT_EQ(text(segs[8]), std::string("/a/libpthread.so/abcaef\0", 24));
	// no '/' before the library name: no match, unchanged
	EXPECT_EQ(text(segs[10]), std::string("libpthread.so.0\0", 16));
	EXPECT_EQ(text(segs[12]), std::string("/opt/libathread.so\0", 19));
}

TEST(Builder, StacksStep)
{
	{
		SCOPED_TRACE("a thread whose stack is nowhere is left out, the others kept");
		Layout L;
		L.threads = 1;
		CoreImage c = handcore::standardCore(L);
		c.addPrStatus(0x7ffff7004000ull, sizeof(elf_prstatus), 101); // mapping not dumped
		c.addPrStatus(0x123456789ull, sizeof(elf_prstatus), 102);     // wild
		c.addPrStatus(Layout::threadSp(1), sizeof(elf_prstatus), 103);
		Opened o(c);
		Builder b(*o.reader);
		ASSERT_TRUE(b.readStacks());
		auto segs = all(b);
		ASSERT_EQ(segs.size(), 3u);
		EXPECT_EQ(segs[1]->getHeader(0).p_vaddr, Layout::threadSp(0) & ~0xfffull);
		EXPECT_EQ(segs[2]->getHeader(0).p_vaddr, Layout::threadSp(1) & ~0xfffull);
	}
	{
		SCOPED_TRACE("no status notes: no stacks, success");
		Layout L;
		L.threads = 0;
		Opened o(handcore::standardCore(L));
		Builder b(*o.reader);
		ASSERT_TRUE(b.readStacks());
		EXPECT_EQ(all(b).size(), 1u);
	}
	{
		SCOPED_TRACE("two threads on one stack give two overlapping stacks");
		Layout L;
		L.threads = 1;
		CoreImage c = handcore::standardCore(L);
		c.addPrStatus(Layout::threadSp(0) + 0x10);
		Opened o(c);
		Builder b(*o.reader);
		ASSERT_TRUE(b.readStacks());
		auto segs = all(b);
		ASSERT_EQ(segs.size(), 3u);
		EXPECT_EQ(segs[1]->getHeader(0).p_vaddr, segs[2]->getHeader(0).p_vaddr);
	}
}

TEST(Builder, CoreReadRunsTheStepsAndKeepsTheReader)
{
	testsupport::TempDir dir("skvcore");
	std::string path = dir.path() + "/core";
	handcore::standardCore().write(path);
	Core core;
	EXPECT_EQ(core.header.e_phnum, 0);
	EXPECT_FALSE(core.reader);
	ASSERT_TRUE(core.read(path.c_str()));
	EXPECT_TRUE(core.reader);
	EXPECT_EQ(core.segments.size(), 11u);
	std::ostringstream a, b;
	a << core;
	// a second read empties the list first
	ASSERT_TRUE(core.read(path.c_str()));
	EXPECT_EQ(core.segments.size(), 11u);
	b << core;
	EXPECT_EQ(a.str(), b.str());
	elfview::View v = elfview::View::of(a.str());
	EXPECT_TRUE(elfview::layoutIsTight(v));
	// a failed read leaves the list empty, the header as it was
	ASSERT_FALSE(core.read((dir.path() + "/missing").c_str()));
	EXPECT_TRUE(core.segments.empty());
	EXPECT_EQ(core.header.e_phnum, 11);
}

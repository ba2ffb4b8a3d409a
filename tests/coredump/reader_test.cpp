// Reader lookups on hand-built cores: every lookup is bounded by the file and
// the first match in table or note order wins.
#include "reader.h"
#include "elf_view.h"
#include "hand_core.h"
#include "opened_core.h"
#include "test_support.h"

using namespace Skelvane;
using handcore::CoreImage;
using handcore::Layout;
using handcore::Opened;

namespace {

elf_prstatus statusWithSp(uint64_t sp)
{
	elf_prstatus st;
	memset(&st, 0, sizeof(st));
	st.pr_reg[19] = sp;
	return st;
}

} // namespace

TEST(Reader, RecordLayoutsAreTheX8664Ones)
{
	EXPECT_EQ(sizeof(elf_prstatus), kPrStatusSize);
	EXPECT_EQ(offsetof(elf_prstatus, pr_reg) + 19 * 8, 264u);
	EXPECT_EQ(sizeof(r_debug), 40u);
	EXPECT_EQ(sizeof(link_map), 40u);
}

TEST(Reader, ProgramHeaderLookups)
{
	CoreImage c = handcore::standardCore();
	// a second PT_NOTE (empty notes) after the first, and a mapping that
	// overlaps the data mapping with other bytes
	handcore::Seg extraNote;
	memset(&extraNote.ph, 0, sizeof(extraNote.ph));
	extraNote.ph.p_type = PT_NOTE;
	extraNote.data.assign(12, 0);
	extraNote.ph.p_filesz = 12;
	c.segs.push_back(extraNote);
	c.map(Layout::kData, 0x1000).data.assign(0x1000, 0xee);
	Opened o(c);
	ASSERT_TRUE(o.reader);
	elfview::View v = elfview::View::load(o.path);

	Elf64_Phdr ph;
	ASSERT_EQ(o.reader->findNotePhdr(ph), &ph);
	EXPECT_EQ(ph.p_offset, v.ph[0].p_offset);
	EXPECT_EQ(ph.p_filesz, v.ph[0].p_filesz);

	// end of a range is outside it; p_filesz 0 holds nothing
	EXPECT_EQ(o.reader->findPhdrByVaddr(Layout::kStack + 0x3fff, ph), &ph);
	EXPECT_EQ(ph.p_vaddr, Layout::kStack);
	EXPECT_FALSE(o.reader->findPhdrByVaddr(Layout::kStack + 0x4000, ph));
	EXPECT_FALSE(o.reader->findPhdrByVaddr(0x7ffff7000000ull, ph));
	EXPECT_EQ(o.reader->findOffsetByVaddr(0x7ffff7000010ull), -1);
	// the note segment (p_vaddr 0) answers for addresses below its size
	EXPECT_EQ(o.reader->findOffsetByVaddr(5), (long)(v.ph[0].p_offset + 5));
	EXPECT_EQ(o.reader->findOffsetByVaddr(v.ph[0].p_filesz), -1);
	// overlapping headers: the first in table order wins
	EXPECT_EQ(o.reader->findOffsetByVaddr(Layout::kData + 8), (long)(v.ph[2].p_offset + 8));

	// a range that wraps past the top of the address space
	CoreImage w = handcore::standardCore();
	w.map(0xfffffffffffff000ull, 0x2000).ph.p_filesz = 0x2000;
	Opened ow(w);
	EXPECT_EQ(ow.reader->findPhdrByVaddr(0xfffffffffffff800ull, ph), &ph);
	EXPECT_FALSE(ow.reader->findPhdrByVaddr(0x800, ph) && ph.p_vaddr == 0xfffffffffffff000ull);
}

TEST(Reader, NotesAuxvAndStatusWalk)
{
	CoreImage c = handcore::standardCore();
	// a status note with a short descriptor sits between the others
	c.addPrStatus(0x1234, 100);
	c.addPrStatus(Layout::threadSp(0) + 8);
	Opened o(c);
	Elf64_Phdr note;
	ASSERT_TRUE(o.reader->findNotePhdr(note));
	Elf_Data *notes = o.reader->getNoteData(note);
	ASSERT_TRUE(notes);
	Elf_Data *auxv = o.reader->getAuxvData(note, notes);
	ASSERT_TRUE(auxv);
	Elf64_auxv_t a;
	ASSERT_EQ(o.reader->findAuxvByType(auxv, AT_PHENT, a), &a);
	EXPECT_EQ(a.a_un.a_val, 56u);
	EXPECT_FALSE(o.reader->findAuxvByType(auxv, AT_ENTRY, a));
	EXPECT_FALSE(o.reader->findAuxvByType(nullptr, AT_PHENT, a));

	std::vector<uint64_t> sps;
	elf_prstatus st;
	unsigned long off = 0, last = 0;
	while ((off = o.reader->getNextPrStatus(notes, off, st)) != 0) {
		sps.push_back(o.reader->getStack(st));
		last = off;
	}
	// the short descriptor is passed over; the walk goes on after it
	ASSERT_EQ(sps.size(), 3u);
	EXPECT_EQ(sps[0], Layout::threadSp(0));
	EXPECT_EQ(sps[1], Layout::threadSp(1));
	EXPECT_EQ(sps[2], Layout::threadSp(0) + 8);
	EXPECT_EQ(o.reader->getNextPrStatus(notes, last, st), 0u);
	EXPECT_EQ(o.reader->getNextPrStatus(notes, notes->d_size + 100, st), 0u);
	EXPECT_EQ(o.reader->getNextPrStatus(nullptr, 0, st), 0u);
}

TEST(Reader, ShortStatusNoteAtTheEndOfTheNotesIsNotRead)
{
	// the only status note is the last note and 8 bytes long: a 336-byte copy
	// would leave the notes chunk
	Layout L;
	L.threads = 0;
	CoreImage c = handcore::standardCore(L);
	c.addPrStatus(Layout::threadSp(0), 8);
	Opened o(c);
	Elf64_Phdr note;
	ASSERT_TRUE(o.reader->findNotePhdr(note));
	Elf_Data *notes = o.reader->getNoteData(note);
	elf_prstatus st;
	EXPECT_EQ(o.reader->getNextPrStatus(notes, 0, st), 0u);
}

TEST(Reader, StackRange)
{
	CoreImage c = handcore::standardCore();
	// an unaligned mapping whose alignment would put the start below it,
	// and one with p_align 0
	c.map(0x20000800ull, 0x1800).ph.p_align = 0x1000;
	c.map(0x30000000ull, 0x1000).ph.p_align = 0;
	Opened o(c);
	unsigned long start = 0;
	Elf_Data *d = o.reader->getStackData(statusWithSp(Layout::kStack + 0x1234), start);
	ASSERT_TRUE(d);
	EXPECT_EQ(start, Layout::kStack + 0x1000);
	EXPECT_EQ(d->d_size, 0x3000u);
	// without an alignment the live stack starts at the stack pointer
	d = o.reader->getStackData(statusWithSp(0x30000010ull), start);
	ASSERT_TRUE(d);
	EXPECT_EQ(start, 0x30000010ull);
	EXPECT_EQ(d->d_size, 0x1000u - 0x10);
	// the aligned start never goes below the mapping
	d = o.reader->getStackData(statusWithSp(0x20000900ull), start);
	ASSERT_TRUE(d);
	EXPECT_EQ(start, 0x20000800ull);
	EXPECT_EQ(d->d_size, 0x1800u);
	// in a mapping that was not dumped
	EXPECT_FALSE(o.reader->getStackData(statusWithSp(0x7ffff7000100ull), start));
}

// A thread that overflowed faults below its stack mapping: in the gap the
// kernel keeps there, or in a guard page the thread library put there.
TEST(Reader, StackPointerBelowItsMappingAfterAnOverflow)
{
	CoreImage c = handcore::standardCore();
	c.map(Layout::kStack - 0x1000, 0x1000, false).ph.p_flags = 0; // a guard
	c.map(0x50000000ull, 0x1000).ph.p_flags = PF_R;                 // no stack
	c.map(0x5ffff000ull, 0x1000, false);                            // usable, not dumped
	c.map(0x60000000ull, 0x1000);
	Opened o(c);
	const struct {
		uint64_t sp;
		bool found;
	} cases[] = {
		{Layout::kStack - 0x800, true},
		{Layout::kStack - 0x1008, true},
		{Layout::kStack - kStackGuardGap, true},
		{Layout::kStack - kStackGuardGap - 1, false},
		{0x50000000ull - 8, false},
		{0x5ffff800ull, false},
		{0x5fffe000ull, false},
		{~0ull, false},
	};
	for (auto &cs : cases) {
		SCOPED_TRACE(std::to_string(cs.sp));
		unsigned long start = 0;
		Elf_Data *d = o.reader->getStackData(statusWithSp(cs.sp), start);
		EXPECT_EQ(d != nullptr, cs.found);
		if (d && cs.found) {
			EXPECT_EQ(start, Layout::kStack);
			EXPECT_EQ(d->d_size, 0x4000u);
		}
	}
}

TEST(Reader, StringsAtProcessAddresses)
{
	CoreImage c = handcore::standardCore();
	const uint64_t at = 0x50000000ull;
	c.map(at, 0x3000);
	std::string s4095(4095, 'a');
	c.putString(at, s4095);                         // NUL is the 4096th byte
	c.poke(at + 0x1000, std::string(0x1000, 'b').data(), 0x1000); // no NUL in 4096
	Opened o(c);
	std::vector<char> out;
	ASSERT_TRUE(o.reader->getString(at, out));
	EXPECT_EQ(out.size(), 4096u);
	EXPECT_EQ(std::string(out.data()), s4095);
	EXPECT_FALSE(o.reader->getString(at + 1 - 1 + 0x1000, out));
	EXPECT_TRUE(out.empty());
	// outside the dumped memory: the empty string
	ASSERT_TRUE(o.reader->getString(0x7ffff7000000ull, out));
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(out[0], '\0');
	// a string that runs into the next segment's bytes in the file is read on
	ASSERT_TRUE(o.reader->getString(Layout::kStack + 0x4000 - 8, out) || out.empty());
	// a read buffer of null is refused without a read
	EXPECT_EQ(o.reader->readCoreData(nullptr, 10, 0), -1);
}

TEST(Reader, TruncatedCoreRefusesWhatLeavesTheFile)
{
	CoreImage c = handcore::standardCore();
	auto full = c.bytes();
	elfview::View v(full);
	// cut in the middle of the stack mapping, the last one in the file
	const Elf64_Phdr &stack = v.ph.back();
	ASSERT_EQ(stack.p_vaddr, Layout::kStack);
	size_t cut = stack.p_offset + 0x1800;
	Opened o(c, cut);
	unsigned long start;
	EXPECT_FALSE(o.reader->getStackData(statusWithSp(Layout::kStack + 0x100), start));
	EXPECT_FALSE(o.reader->getStackData(statusWithSp(Layout::kStack - 0x100), start));
	link_map m;
	EXPECT_FALSE(o.reader->getLinkmap(Layout::kStack + 0x1800 - 20, m));
	EXPECT_TRUE(o.reader->getLinkmap(Layout::kStack + 0x1800 - 40, m));
	std::vector<char> out;
	// no NUL before the end of the file
	EXPECT_FALSE(o.reader->getString(Layout::kStack + 0x1800 - 3, out));
	EXPECT_FALSE(o.reader->getString(Layout::kStack + 0x17ff + 1, out) && out.size() > 1);
	Elf64_Phdr dyn;
	memset(&dyn, 0, sizeof(dyn));
	dyn.p_vaddr = Layout::kStack + 0x1000;
	dyn.p_filesz = 0x1000;
	EXPECT_FALSE(o.reader->getDynData(dyn));
	dyn.p_filesz = 0x800;
	EXPECT_TRUE(o.reader->getDynData(dyn));
}

// A 32-bit core: the executable's program headers are 32-byte entries.
TEST(Reader, Class32CoreWidensTheExecutablesProgramHeaders)
{
	std::vector<uint8_t> b;
	auto put = [&b](const void *p, size_t n) { b.insert(b.end(), (const uint8_t *)p, (const uint8_t *)p + n); };
	Elf32_Ehdr eh;
	memset(&eh, 0, sizeof(eh));
	memcpy(eh.e_ident, ELFMAG, SELFMAG);
	eh.e_ident[EI_CLASS] = ELFCLASS32;
	eh.e_ident[EI_DATA] = ELFDATA2LSB;
	eh.e_ident[EI_VERSION] = EV_CURRENT;
	eh.e_type = ET_CORE;
	eh.e_machine = EM_386;
	eh.e_version = EV_CURRENT;
	eh.e_phoff = sizeof(eh);
	eh.e_ehsize = sizeof(eh);
	eh.e_phentsize = sizeof(Elf32_Phdr);
	eh.e_phnum = 2;
	put(&eh, sizeof(eh));
	// notes: one NT_AUXV with 32-bit entries
	std::vector<uint8_t> notes;
	Elf32_auxv_t aux[4] = {{AT_PHDR, {0x8048034}}, {AT_PHENT, {32}}, {AT_PHNUM, {2}}, {AT_NULL, {0}}};
	Elf32_Nhdr nh = {5, sizeof(aux), NT_AUXV};
	notes.insert(notes.end(), (uint8_t *)&nh, (uint8_t *)&nh + sizeof(nh));
	notes.insert(notes.end(), (const uint8_t *)"CORE\0\0\0", (const uint8_t *)"CORE\0\0\0" + 8);
	notes.insert(notes.end(), (uint8_t *)aux, (uint8_t *)aux + sizeof(aux));
	Elf32_Phdr ph[2];
	memset(ph, 0, sizeof(ph));
	uint32_t dataAt = sizeof(eh) + sizeof(ph);
	ph[0].p_type = PT_NOTE;
	ph[0].p_offset = dataAt;
	ph[0].p_filesz = notes.size();
	ph[1].p_type = PT_LOAD;
	ph[1].p_offset = dataAt + notes.size();
	ph[1].p_vaddr = 0x8048000;
	ph[1].p_filesz = ph[1].p_memsz = 0x100;
	ph[1].p_align = 0x1000;
	put(ph, sizeof(ph));
	put(notes.data(), notes.size());
	std::vector<uint8_t> mem(0x100, 0);
	Elf32_Phdr exe[2];
	memset(exe, 0, sizeof(exe));
	exe[0].p_type = PT_PHDR;
	exe[0].p_vaddr = 0x8048034;
	exe[0].p_filesz = 64;
	exe[1].p_type = PT_DYNAMIC;
	exe[1].p_offset = 0x80000000u;
	exe[1].p_vaddr = 0x80490f0u;
	exe[1].p_filesz = 0xc8;
	exe[1].p_memsz = 0xd0;
	exe[1].p_flags = PF_R | PF_W;
	exe[1].p_align = 4;
	memcpy(&mem[0x34], exe, sizeof(exe));
	put(mem.data(), mem.size());

	Opened o(b);
	ASSERT_TRUE(o.reader);
	Elf64_Phdr note;
	ASSERT_TRUE(o.reader->findNotePhdr(note));
	Elf_Data *nd = o.reader->getNoteData(note);
	Elf_Data *auxv = o.reader->getAuxvData(note, nd);
	ASSERT_TRUE(auxv);
	Elf_Data *phdrs = o.reader->getExecPhdrData(auxv);
	ASSERT_TRUE(phdrs);
	EXPECT_EQ(phdrs->d_size, 64u);
	Elf64_Phdr out;
	ASSERT_EQ(o.reader->findExecPhdrByType(phdrs, PT_DYNAMIC, out), &out);
	EXPECT_EQ(out.p_vaddr, 0x80490f0u);
	EXPECT_EQ(out.p_offset, 0x80000000u); // widened without sign extension
	EXPECT_EQ(out.p_filesz, 0xc8u);
	EXPECT_EQ(out.p_memsz, 0xd0u);
	EXPECT_EQ(out.p_flags, (uint32_t)(PF_R | PF_W));
	EXPECT_EQ(out.p_align, 4u);
	EXPECT_FALSE(o.reader->findExecPhdrByType(phdrs, PT_INTERP, out));
	// a status walk over these notes finds nothing and reads nothing outside
	elf_prstatus st;
	EXPECT_EQ(o.reader->getNextPrStatus(nd, 0, st), 0u);
}

TEST(Reader, ExecutableProgramHeadersAre56ByteEntriesIn64BitCores)
{
	Opened o(handcore::standardCore());
	Elf64_Phdr note;
	ASSERT_TRUE(o.reader->findNotePhdr(note));
	Elf_Data *auxv = o.reader->getAuxvData(note, o.reader->getNoteData(note));
	Elf_Data *phdrs = o.reader->getExecPhdrData(auxv);
	ASSERT_TRUE(phdrs);
	EXPECT_EQ(phdrs->d_size, 3 * 56u);
	Elf64_Phdr out;
	ASSERT_TRUE(o.reader->findExecPhdrByType(phdrs, PT_DYNAMIC, out));
	EXPECT_EQ(out.p_vaddr, Layout().linkDynamic());
	Elf64_Dyn d;
	Elf_Data *dyn = o.reader->getDynData(out);
	ASSERT_TRUE(dyn);
	ASSERT_EQ(o.reader->findDynByTag(dyn, DT_DEBUG, d), &d);
	EXPECT_EQ(d.d_un.d_ptr, Layout::kRDebug);
	r_debug rd;
	ASSERT_TRUE(o.reader->getRDebug(d, rd));
	EXPECT_EQ((uint64_t)rd.r_map, Layout::linkmapAddr(0));
	// the search runs past DT_NULL to the end of the chunk
	EXPECT_EQ(o.reader->findDynByTag(dyn, DT_NULL, d), &d);
	EXPECT_FALSE(o.reader->findDynByTag(dyn, DT_SONAME, d));
}

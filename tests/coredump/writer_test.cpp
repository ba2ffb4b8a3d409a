// Segment headers and the stripped core layout the writer produces.
#include "core.h"
#include "elf_view.h"

#include <sstream>

using namespace Skelvane;

namespace {

// A stream buffer that takes `limit` bytes and then refuses every write.
class LimitedBuf : public std::streambuf {
public:
	explicit LimitedBuf(size_t limit) : limit_(limit) {}
	std::string taken;

protected:
	std::streamsize xsputn(const char *s, std::streamsize n) override
	{
		size_t room = limit_ - taken.size();
		size_t k = std::min<size_t>(room, (size_t)n);
		taken.append(s, k);
		return (std::streamsize)k;
	}
	int_type overflow(int_type c) override
	{
		if (traits_type::eq_int_type(c, traits_type::eof()) || taken.size() >= limit_)
			return traits_type::eof();
		taken.push_back((char)c);
		return c;
	}

private:
	size_t limit_;
};

Elf64_Phdr notePhdr()
{
	Elf64_Phdr p;
	memset(&p, 0, sizeof(p));
	p.p_type = PT_NOTE;
	p.p_flags = PF_R;
	p.p_offset = 0x3c0;
	p.p_vaddr = 0;
	p.p_paddr = 0x77;
	p.p_filesz = 16;
	p.p_memsz = 0;
	p.p_align = 4;
	return p;
}

struct Fixture {
	std::vector<char> noteBytes = std::vector<char>(16, 'N');
	std::vector<char> dynBytes = std::vector<char>(32, 'D');
	std::vector<char> stackBytes = std::vector<char>(100, 'S');
	Elf_Data noteData, dynData, stackData;
	Result pair;

	Fixture()
	{
		for (auto *d : {&noteData, &dynData, &stackData})
			memset(d, 0, sizeof(*d));
		noteData.d_buf = noteBytes.data();
		noteData.d_size = noteBytes.size();
		dynData.d_buf = dynBytes.data();
		dynData.d_size = dynBytes.size();
		stackData.d_buf = stackBytes.data();
		stackData.d_size = stackBytes.size();

		memset(&pair.header, 0, sizeof(pair.header));
		memcpy(pair.header.e_ident, ELFMAG, SELFMAG);
		pair.header.e_ident[EI_CLASS] = ELFCLASS64;
		pair.header.e_type = ET_CORE;
		pair.header.e_machine = EM_X86_64;
		pair.header.e_phoff = 64;
		pair.header.e_phentsize = 56;

		Elf64_Phdr dyn;
		memset(&dyn, 0, sizeof(dyn));
		dyn.p_type = PT_DYNAMIC;
		dyn.p_flags = PF_R | PF_W;
		dyn.p_offset = 0x2dd0;
		dyn.p_vaddr = 0x555555557dd0ull;
		dyn.p_paddr = 0x3dd0;
		dyn.p_filesz = 32;
		dyn.p_memsz = 48;
		dyn.p_align = 8;
		Elf64_Dyn entry;
		entry.d_tag = DT_DEBUG;
		entry.d_un.d_ptr = 0x7ffff7ffe118ull;
		r_debug rd;
		memset(&rd, 0, sizeof(rd));
		rd.r_version = 1;
		link_map lm;
		memset(&lm, 0, sizeof(lm));
		lm.l_name = (char *)0x7ffff7fc1000ull;
		std::vector<char> name = {'/', 'x', '\0'};

		pair.segments.push_back(boost::shared_ptr<Segment>(new Note(notePhdr(), &noteData)));
		pair.segments.push_back(boost::shared_ptr<Segment>(new Dynamic(dyn, &dynData)));
		pair.segments.push_back(boost::shared_ptr<Segment>(new RDebug(entry, rd)));
		pair.segments.push_back(boost::shared_ptr<Segment>(new Linkmap(0x7ffff7ffe2e0ull, lm)));
		pair.segments.push_back(boost::shared_ptr<Segment>(new String(0x7ffff7fc1000ull, name)));
		pair.segments.push_back(boost::shared_ptr<Segment>(new Stack(0x7ffffffde000ull, &stackData)));
		pair.header.e_phnum = (Elf64_Half)pair.segments.size();
	}
};

std::string written(const Result &r)
{
	std::ostringstream os;
	os << r;
	EXPECT_TRUE(os.good());
	return os.str();
}

} // namespace

TEST(Segments, HeadersFollowTheirKind)
{
	Fixture f;
	std::vector<Elf64_Phdr> h;
	for (auto &s : f.pair.segments)
		h.push_back(s->getHeader(1000));
	// the note keeps the core's header but for the offset
	Elf64_Phdr n = notePhdr();
	n.p_offset = 1000;
	EXPECT_EQ(0, memcmp(&h[0], &n, sizeof(n)));
	// the dynamic section becomes a loadable segment with its flags and sizes
	EXPECT_EQ(h[1].p_type, (uint32_t)PT_LOAD);
	EXPECT_EQ(h[1].p_flags, (uint32_t)(PF_R | PF_W));
	EXPECT_EQ(h[1].p_vaddr, 0x555555557dd0ull);
	EXPECT_EQ(h[1].p_paddr, 0u);
	EXPECT_EQ(h[1].p_filesz, 32u);
	// only the kept bytes are claimed in memory, never fewer than are in the file
	EXPECT_EQ(h[1].p_memsz, 32u);
	EXPECT_EQ(h[1].p_align, 8u);
	uint64_t vaddr[] = {0, 0, 0x7ffff7ffe118ull, 0x7ffff7ffe2e0ull, 0x7ffff7fc1000ull, 0x7ffffffde000ull};
	uint64_t size[] = {0, 0, 40, 40, 3, 100};
	for (int i = 1; i < 6; i++)
		EXPECT_EQ(h[i].p_offset, 1000u);
	for (int i = 2; i < 6; i++) {
		SCOPED_TRACE(i);
		EXPECT_EQ(h[i].p_type, (uint32_t)PT_LOAD);
		EXPECT_EQ(h[i].p_flags, 7u);
		EXPECT_EQ(h[i].p_vaddr, vaddr[i]);
		EXPECT_EQ(h[i].p_paddr, 0u);
		EXPECT_EQ(h[i].p_filesz, size[i]);
		EXPECT_EQ(h[i].p_memsz, size[i]);
		EXPECT_EQ(h[i].p_align, 0u);
	}
	// a one-byte name is a one-byte segment holding NUL
	String empty(5, std::vector<char>(1, '\0'));
	EXPECT_EQ(empty.getHeader(0).p_filesz, 1u);
	EXPECT_EQ(empty.getSize(), 1u);
	EXPECT_EQ(*(const char *)empty.getBuffer(), '\0');
	// the same arguments give the same header and bytes
	String again(5, std::vector<char>(1, '\0'));
	Elf64_Phdr a = empty.getHeader(77), b = again.getHeader(77);
	EXPECT_EQ(0, memcmp(&a, &b, sizeof(a)));
}

TEST(Writer, LayoutIsHeaderTableAndBytesBackToBack)
{
	Fixture f;
	std::string out = written(f.pair);
	elfview::View v = elfview::View::of(out);
	ASSERT_TRUE(elfview::layoutIsTight(v));
	ASSERT_EQ(v.ph.size(), 6u);
	EXPECT_EQ(v.ph[0].p_offset, 64u + 6 * 56);
	EXPECT_EQ(out.size(), 64u + 6 * 56 + 16 + 32 + 40 + 40 + 3 + 100);
	EXPECT_EQ(0, memcmp(out.data(), &f.pair.header, 64));
	EXPECT_EQ(out.substr(v.ph[0].p_offset, 16), std::string(16, 'N'));
	EXPECT_EQ(out.substr(v.ph[1].p_offset, 32), std::string(32, 'D'));
	EXPECT_EQ(out.substr(v.ph[4].p_offset, 3), std::string("/x\0", 3));
	EXPECT_EQ(out.substr(v.ph[5].p_offset), std::string(100, 'S'));
	// the same pair written twice gives the same bytes
	EXPECT_EQ(out, written(f.pair));
}

TEST(Writer, EmptyListIsTheHeaderAlone)
{
	Result r;
	memset(&r.header, 0, sizeof(r.header));
	r.header.e_phentsize = 56;
	std::string out = written(r);
	EXPECT_EQ(out.size(), 64u);
}

TEST(Writer, StopsAtTheFirstFailedWrite)
{
	Fixture f;
	// fails inside the program header table: no segment bytes follow
	LimitedBuf buf(64 + 56 * 2 + 10);
	std::ostream os(&buf);
	os << f.pair;
	EXPECT_TRUE(os.bad() || os.fail());
	EXPECT_EQ(buf.taken.size(), 64u + 56 * 2 + 10);
	EXPECT_EQ(buf.taken.find('N'), std::string::npos);
	// fails while the header is written
	LimitedBuf tiny(10);
	std::ostream os2(&tiny);
	os2 << f.pair;
	EXPECT_FALSE(os2.good());
	EXPECT_EQ(tiny.taken.size(), 10u);
	// fails in the bytes: what was written stays, nothing after the failing segment
	size_t upToDyn = 64 + 6 * 56 + 16 + 5;
	LimitedBuf mid(upToDyn);
	std::ostream os3(&mid);
	os3 << f.pair;
	EXPECT_FALSE(os3.good());
	EXPECT_EQ(mid.taken.size(), upToDyn);
}

TEST(Writer, EntrySizeOtherThan56IsFilledOrCut)
{
	Fixture f;
	f.pair.header.e_phentsize = 64;
	std::string wide = written(f.pair);
	EXPECT_EQ(wide.size(), 64u + 6 * 64 + 231);
	for (int i = 0; i < 6; i++) {
		SCOPED_TRACE(i);
		EXPECT_EQ(std::string(&wide[64 + i * 64 + 56], 8), std::string(8, '\0'));
	}
	Elf64_Phdr first;
	memcpy(&first, &wide[64], 56);
	EXPECT_EQ(first.p_offset, 64u + 6 * 64);

	f.pair.header.e_phentsize = 32;
	std::string narrow = written(f.pair);
	EXPECT_EQ(narrow.size(), 64u + 6 * 32 + 231);
	Elf64_Phdr cut;
	memset(&cut, 0, sizeof(cut));
	memcpy(&cut, &narrow[64], 32);
	EXPECT_EQ(cut.p_offset, 64u + 6 * 32);
	EXPECT_EQ(narrow.substr(64 + 6 * 32, 16), std::string(16, 'N'));

	f.pair.header.e_phentsize = 0;
	std::string none = written(f.pair);
	EXPECT_EQ(none.size(), 64u + 231);
}

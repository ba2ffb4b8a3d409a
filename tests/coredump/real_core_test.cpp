// Real kernel cores of small programs built here: the stripped core's layout
// is checked against the full core byte by byte, and gdb must name the same
// libraries and the same frames for every thread in both.
#include "core_dump.h"
#include "crash_programs.h"
#include "elf_view.h"
#include "test_support.h"

#include <link.h>

#include <algorithm>
#include <set>
#include <sstream>

using testsupport::CmdResult;
using testsupport::GdbView;
using testsupport::TempDir;
using elfview::View;

namespace {

const std::string kBin = SKELVANE_BIN;

struct Crashed {
	TempDir dir{"skvreal"};
	std::string exe, core, stripped;
	std::vector<std::string> args;
};

// Builds the program with the given compiler options, crashes it and strips
// its core; fails the test on any step.
void crash(Crashed &c, const std::string &options, bool withLibrary, const char *program = crashprog::kProgram)
{
	const std::string &d = c.dir.path();
	c.args = crashprog::build(d, options, withLibrary, program);
	c.exe = c.args[0];
	std::string why;
	c.core = testsupport::make_core(c.args, d, &why);
	ASSERT_FALSE(c.core.empty()) << why;
	CmdResult r = testsupport::run({kBin, c.core});
	ASSERT_EQ(r.status, 0) << r.err;
	ASSERT_EQ(r.err, "");
	c.stripped = d + "/small.core";
	FILE *f = fopen(c.stripped.c_str(), "wb");
	fwrite(r.out.data(), 1, r.out.size(), f);
	fclose(f);
}

std::string renamedBack(std::string s)
{
	size_t at = s.find("/libathread.so");
	if (at != std::string::npos)
		s[at + 4] = 'p';
	return s;
}

// Checks the stripped core against the full one and returns the object
// names it stores, in chain order.
std::vector<std::string> checkLayout(const std::string &corePath, const std::string &strippedPath)
{
	View full = View::load(corePath), out = View::load(strippedPath);
	std::vector<std::string> names;
	EXPECT_TRUE(elfview::layoutIsTight(out));
	if (!out.ok || out.ph.size() < 3)
		return names;
	EXPECT_EQ(0, memcmp(out.eh.e_ident, full.eh.e_ident, EI_NIDENT));
	EXPECT_EQ(out.eh.e_type, full.eh.e_type);
	EXPECT_EQ(out.eh.e_machine, full.eh.e_machine);
	EXPECT_EQ(out.eh.e_version, full.eh.e_version);
	EXPECT_EQ(out.eh.e_entry, full.eh.e_entry);
	EXPECT_EQ(out.eh.e_flags, full.eh.e_flags);
	EXPECT_EQ(out.eh.e_ehsize, full.eh.e_ehsize);
	EXPECT_EQ(out.eh.e_phnum, out.ph.size());
	for (auto &p : out.ph) {
		if (p.p_type == PT_LOAD) {
			EXPECT_EQ(p.p_memsz, p.p_filesz) << std::hex << p.p_vaddr;
		}
	}

	// 1: the note segment, the core's own header but for the offset
	size_t noteAt = 0;
	while (full.ph[noteAt].p_type != PT_NOTE)
		noteAt++;
	Elf64_Phdr fn = full.ph[noteAt];
	fn.p_offset = out.ph[0].p_offset;
	EXPECT_EQ(0, memcmp(&fn, &out.ph[0], sizeof(fn)));
	EXPECT_EQ(out.seg(0), full.seg(noteAt));

	// 2: the dynamic section as it was in memory, with DT_DEBUG naming 3
	std::vector<uint8_t> mem;
	EXPECT_EQ(out.ph[1].p_type, (uint32_t)PT_LOAD);
	EXPECT_TRUE(full.mem(out.ph[1].p_vaddr, out.ph[1].p_filesz, mem));
	EXPECT_EQ(out.seg(1), mem);
	uint64_t debugPtr = 0;
	std::vector<uint8_t> dyn = out.seg(1);
	for (size_t i = 0; i + sizeof(Elf64_Dyn) <= dyn.size(); i += sizeof(Elf64_Dyn)) {
		Elf64_Dyn e;
		memcpy(&e, &dyn[i], sizeof(e));
		if (e.d_tag == DT_DEBUG) {
			debugPtr = e.d_un.d_ptr;
			break;
		}
	}
	EXPECT_EQ(out.ph[2].p_vaddr, debugPtr);

	// 3: r_debug
	EXPECT_EQ(out.ph[2].p_filesz, 40u);
	EXPECT_TRUE(full.mem(out.ph[2].p_vaddr, 40, mem));
	EXPECT_EQ(out.seg(2), mem);
	r_debug rd;
	memcpy(&rd, out.seg(2).data(), sizeof(rd));

	// 4..: each link_map record and its name, in chain order
	size_t i = 3;
	for (uint64_t next = (uint64_t)rd.r_map; next != 0; i += 2) {
		if (i + 1 >= out.ph.size()) {
			ADD_FAILURE() << "chain runs past the segments";
			return names;
		}
		EXPECT_EQ(out.ph[i].p_vaddr, next);
		EXPECT_EQ(out.ph[i].p_filesz, 40u);
		EXPECT_TRUE(full.mem(next, 40, mem));
		EXPECT_EQ(out.seg(i), mem);
		link_map lm;
		memcpy(&lm, out.seg(i).data(), sizeof(lm));
		EXPECT_EQ(out.ph[i + 1].p_vaddr, (uint64_t)lm.l_name);
		std::vector<uint8_t> s = out.seg(i + 1);
		EXPECT_FALSE(s.empty());
		if (s.empty() || s.back() != 0) {
			ADD_FAILURE() << "name without NUL";
			return names;
		}
		std::string name((const char *)s.data());
		names.push_back(name);
		if (full.mem((uint64_t)lm.l_name, s.size(), mem)) {
			EXPECT_EQ(renamedBack(name) + std::string(1, '\0'), std::string(mem.begin(), mem.end()));
		}
		next = (uint64_t)lm.l_next;
	}

	// then one stack per thread, from the page of its stack pointer to the
	// end of the dumped mapping
	std::vector<uint64_t> sps = full.stackPointers();
	EXPECT_EQ(out.ph.size() - i, sps.size());
	for (size_t t = 0; t < sps.size() && i + t < out.ph.size(); t++) {
		SCOPED_TRACE("thread " + std::to_string(t));
		const Elf64_Phdr &p = out.ph[i + t];
		EXPECT_EQ(p.p_vaddr, sps[t] & ~0xfffull);
		const Elf64_Phdr *m = full.mapping(sps[t]);
		if (!m) {
			ADD_FAILURE() << "stack pointer outside the full core's memory";
			continue;
		}
		EXPECT_EQ(p.p_vaddr + p.p_filesz, m->p_vaddr + m->p_filesz);
		EXPECT_TRUE(full.mem(p.p_vaddr, p.p_filesz, mem));
		EXPECT_EQ(out.seg(i + t), mem);
	}
	return names;
}

// gdb's views of the full and the stripped core, made comparable: each
// thread cut to its innermost `frames` frames (0: all of them) and
// libathread standing for libpthread.
void gdbViews(const Crashed &c, GdbView &full, GdbView &small, size_t frames = 0)
{
	full = testsupport::gdb_view(c.exe, c.core);
	small = testsupport::gdb_view(c.exe, c.stripped);
	for (GdbView *v : {&full, &small})
		for (auto &t : v->threads)
			if (frames && t.second.size() > frames)
				t.second.resize(frames);
	for (auto &l : small.libraries)
		l = renamedBack(l);
	// The vDSO's image lives only in the process's memory, which the stripped
	// core does not keep: gdb then lists its link_map entry as an unloaded
	// "linux-vdso.so.1", where with the full core it reads the image and
	// leaves it out of the list. Every object that has a file must match.
	auto vdso = std::find(small.libraries.begin(), small.libraries.end(), "linux-vdso.so.1");
	if (vdso != small.libraries.end() &&
	    std::find(full.libraries.begin(), full.libraries.end(), "linux-vdso.so.1") == full.libraries.end())
		small.libraries.erase(vdso);
}

// gdb names the same libraries and the same functions for every thread in
// both cores.
void checkGdb(const Crashed &c, const std::vector<std::string> &mustSee)
{
	GdbView full, small;
	gdbViews(c, full, small);
	std::string a = testsupport::describe(full), b = testsupport::describe(small);
	EXPECT_EQ(a, b) << "full core:\n" << full.raw << "\nstripped core:\n" << small.raw;
	EXPECT_GE(full.threads.size(), 5u) << full.raw;
	EXPECT_FALSE(full.libraries.empty()) << full.raw;
	for (auto &fnName : mustSee)
		EXPECT_NE(a.find(" " + fnName), std::string::npos) << fnName << "\n" << a;
	// the workers sit at four different depths
	std::set<size_t> depths;
	for (auto &t : small.threads)
		if (std::find(t.second.begin(), t.second.end(), "park") != t.second.end())
			depths.insert(t.second.size());
	EXPECT_EQ(depths.size(), 4u) << b;
}

bool hasName(const std::vector<std::string> &names, const std::string &part)
{
	for (auto &n : names)
		if (n.find(part) != std::string::npos)
			return true;
	return false;
}

} // namespace

TEST(RealCore, MultiThreadedPie)
{
	REQUIRE_ROOT();
	Crashed c;
	crash(c, "-fPIE -pie", false);
	if (HasFatalFailure())
		return;
	auto names = checkLayout(c.core, c.stripped);
	EXPECT_TRUE(hasName(names, "/libc.so.6"));
	checkGdb(c, {"crash_now", "main", "park", "level_a", "level_b", "level_c", "worker"});
}

TEST(RealCore, MultiThreadedFixedAddress)
{
	REQUIRE_ROOT();
	Crashed c;
	crash(c, "-fno-pie -no-pie", false);
	if (HasFatalFailure())
		return;
	checkLayout(c.core, c.stripped);
	checkGdb(c, {"crash_now", "main", "park", "level_a"});
}

TEST(RealCore, ThreadLibraryIsStoredAsLibathread)
{
	REQUIRE_ROOT();
	std::string lib = testsupport::sh_ok("gcc -print-file-name=libpthread.so.0");
	lib.erase(lib.find_last_not_of("\n") + 1);
	Crashed c;
	crash(c, "-Wl,--no-as-needed " + lib, false);
	if (HasFatalFailure())
		return;
	auto names = checkLayout(c.core, c.stripped);
	bool renamed = false;
	for (auto &n : names)
		if (n.find("/libathread.so.0") != std::string::npos) {
			renamed = true;
			// same length: the stored name differs in one letter only
			std::string orig = renamedBack(n);
			EXPECT_EQ(orig.size(), n.size());
			EXPECT_NE(orig.find("/libpthread.so.0"), std::string::npos);
		}
	EXPECT_TRUE(renamed) << testing::PrintToString(names);
	EXPECT_FALSE(hasName(names, "libpthread"));
	checkGdb(c, {"crash_now", "park"});
}

TEST(RealCore, CrashInsideADlopenedLibrary)
{
	REQUIRE_ROOT();
	Crashed c;
	crash(c, "-fPIE -pie", true);
	if (HasFatalFailure())
		return;
	auto names = checkLayout(c.core, c.stripped);
	EXPECT_TRUE(hasName(names, "/libskvextra.so")) << testing::PrintToString(names);
	checkGdb(c, {"extra_deep", "extra_entry", "main", "park"});
}

namespace {

// eu-stack's view: "TID <n>:" and the function of each frame ("??" where it
// names none), addresses left out.
std::vector<std::string> euStack(const std::string &core)
{
	CmdResult r = testsupport::run({"eu-stack", "--core", core});
	std::vector<std::string> lines;
	std::istringstream in(r.out);
	std::string line;
	while (std::getline(in, line)) {
		std::istringstream f(line);
		std::string first, addr, fn;
		f >> first >> addr >> fn;
		if (first == "TID")
			lines.push_back(line);
		else if (!first.empty() && first[0] == '#')
			lines.push_back(fn.empty() ? "??" : fn);
	}
	return lines;
}

// The build IDs that eu-unstrip -n finds for the modules of a core.
std::set<std::string> buildIds(const std::string &core)
{
	CmdResult r = testsupport::run({"eu-unstrip", "-n", "--core", core});
	std::set<std::string> ids;
	std::istringstream in(r.out);
	std::string line;
	while (std::getline(in, line)) {
		std::istringstream f(line);
		std::string range, id;
		f >> range >> id;
		ids.insert(id.substr(0, id.find('@')));
	}
	return ids;
}

} // namespace

// With --build-ids the stripped core keeps each loaded object's first page,
// from which elfutils recognises the modules: it then unwinds every thread
// as on the full core and finds the same build IDs.
TEST(RealCore, BuildIdsLetElfutilsReadTheStrippedCore)
{
	REQUIRE_ROOT();
	for (bool withLibrary : {false, true}) {
		SCOPED_TRACE(withLibrary ? "dlopen" : "five threads");
		Crashed c;
		crash(c, "-fPIE -pie", withLibrary);
		if (HasFatalFailure())
			return;
		std::string withIds = c.dir.path() + "/ids.core";
		ASSERT_EQ(testsupport::sh(kBin + " --build-ids " + c.core + " > " + withIds).status, 0);
		std::vector<std::string> full = euStack(c.core);
		EXPECT_GE(std::count(full.begin(), full.end(), "crash_now") + std::count(full.begin(), full.end(), "extra_deep"),
			  1) << testing::PrintToString(full);
		EXPECT_EQ(euStack(withIds), full);
		std::set<std::string> ids = buildIds(c.core);
		EXPECT_GE(ids.size(), withLibrary ? 5u : 4u) << testing::PrintToString(ids);
		EXPECT_EQ(buildIds(withIds), ids);
	}
}

// A stack overflow leaves the stack pointer below the stack mapping, in
// memory that holds nothing; the frames above it are what gdb unwinds.
void checkOverflow(const std::string &options, size_t threads)
{
	Crashed c;
	crash(c, "-fstack-clash-protection " + options, false, crashprog::kOverflow);
	if (::testing::Test::HasFatalFailure())
		return;
	// one stack pointer, the overflowed one, lies outside the dumped memory
	View core = View::load(c.core);
	std::vector<uint64_t> sps = core.stackPointers();
	EXPECT_EQ(std::count_if(sps.begin(), sps.end(), [&](uint64_t sp) { return !core.mapping(sp); }), 1);
	GdbView full, small;
	gdbViews(c, full, small, 20);
	std::string a = testsupport::describe(full);
	EXPECT_EQ(a, testsupport::describe(small)) << "full core:\n" << full.raw << "\nstripped core:\n" << small.raw;
	EXPECT_FALSE(full.libraries.empty()) << full.raw;
	ASSERT_EQ(full.threads.size(), threads) << full.raw;
	size_t idle = 0, deep = 0;
	for (auto &t : full.threads) {
		idle += std::find(t.second.begin(), t.second.end(), "idle") != t.second.end();
		deep += std::count(t.second.begin(), t.second.end(), "dive") >= 10;
	}
	EXPECT_EQ(idle, 2u) << a;
	EXPECT_EQ(deep, 1u) << a;
}

TEST(RealCore, MainThreadStackOverflow)
{
	REQUIRE_ROOT();
	checkOverflow("", 3);
}

TEST(RealCore, WorkerThreadStackOverflow)
{
	REQUIRE_ROOT();
	checkOverflow("-DIN_WORKER", 4);
}

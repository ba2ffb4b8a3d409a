// Real kernel cores of the crashes that need more than the dynamic linker's
// records and the threads' own stacks: statically linked programs, kept in
// part, and a crash handled on an alternate signal stack. gdb must show the
// same frames for every thread on the stripped core as on the full one, in
// the file mode and through the kernel's core handler.
#include "core_dump.h"
#include "crash_programs.h"
#include "golden.h"
#include "test_support.h"

#include <algorithm>
#include <fstream>
#include <sys/stat.h>

using testsupport::CmdResult;
using testsupport::GdbView;
using testsupport::TempDir;

namespace {

const std::string kBin = SKELVANE_BIN;

void writeFile(const std::string &path, const std::string &bytes, mode_t mode = 0644)
{
	std::ofstream(path, std::ios::binary) << bytes;
	chmod(path.c_str(), mode);
}

// gdb's frames of every thread on the full and the stripped core of one
// crash, which must be the same; gives the full core's view. (The libraries
// are the other tests' business: the stripped core lists the vDSO, whose
// image it does not keep.)
GdbView sameFrames(const std::string &exe, const std::string &full, const std::string &stripped)
{
	GdbView a = testsupport::gdb_view(exe, full), b = testsupport::gdb_view(exe, stripped);
	a.libraries.clear();
	b.libraries.clear();
	EXPECT_EQ(testsupport::describe(a), testsupport::describe(b)) << "full core:\n"
								       << a.raw << "\nstripped core:\n"
								       << b.raw;
	return a;
}

// The program crashed under the kernel's core handler: the handler keeps the
// full core it is piped (full.core) and hands the same stream to
// `skelvane --collect`. Gives the one stripped core collected (beside its
// record), or "".
std::string collectCrash(const TempDir &t, const std::vector<std::string> &args, std::string &full)
{
	full = t.path() + "/full.core";
	std::string cores = t.path() + "/cores";
	writeFile(t.path() + "/tee.sh", "#!/bin/sh\ntee " + full + " | " + kBin + " --collect " + cores + " \"$@\"\n", 0755);
	std::string why;
	int pid = testsupport::crash_with_handler(args, t.path(), "|" + t.path() + "/tee.sh %P %t %e", &why);
	EXPECT_GT(pid, 0) << why;
	CmdResult ls = testsupport::run({"ls", cores});
	std::string name = ls.out.substr(0, ls.out.find('\n'));
	EXPECT_EQ(name.rfind("core.prog." + std::to_string(pid) + ".", 0), 0u) << ls.out;
	EXPECT_EQ(ls.out, name + "\n" + name + ".json\n");
	return name.empty() ? "" : cores + "/" + name;
}

bool hasFrame(const GdbView &v, const std::string &fn)
{
	for (auto &t : v.threads)
		if (std::find(t.second.begin(), t.second.end(), fn) != t.second.end())
			return true;
	return false;
}

} // namespace

// A static program has no dynamic section to follow (a static-pie one has
// one, but no PT_PHDR): the file mode fails as it always has unless told to
// keep the core in part, which it then says; the collector keeps it anyway.
TEST(StaticAndAltStack, StaticProgramsAreKeptInPart)
{
	REQUIRE_ROOT();
	for (const char *options : {"-static", "-static-pie"}) {
		SCOPED_TRACE(options);
		TempDir t("skvstatic");
		std::vector<std::string> args = crashprog::buildC(t.path(), options, crashprog::kTwoThreadsC);
		std::string why, core = testsupport::make_core(args, t.path(), &why);
		ASSERT_FALSE(core.empty()) << why;

		CmdResult r = testsupport::run({kBin, core});
		EXPECT_EQ(r.status, 255);
		EXPECT_EQ(r.out, "");
		EXPECT_GOLDEN(r.err, "skelvane-no-dynamic.txt");

		r = testsupport::run({kBin, "--keep-partial", core});
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_GOLDEN(r.err, "skelvane-partial-no-dynamic.txt");
		std::string stripped = t.path() + "/small.core";
		writeFile(stripped, r.out);
		GdbView v = sameFrames(args[0], core, stripped);
		EXPECT_EQ(v.threads.size(), 2u) << v.raw;
		for (const char *fn : {"crash_now", "main", "park", "level", "worker"})
			EXPECT_TRUE(hasFrame(v, fn)) << fn << "\n" << v.raw;

		std::string full, collected = collectCrash(t, args, full);
		ASSERT_FALSE(collected.empty());
		v = sameFrames(args[0], full, collected);
		EXPECT_EQ(v.threads.size(), 2u) << v.raw;
		EXPECT_TRUE(hasFrame(v, "crash_now")) << v.raw;
	}
}

// The worker's stack pointer lies in its alternate signal stack; the frames
// of the stack the signal interrupted are kept too, through the kernel's
// signal frame.
TEST(StaticAndAltStack, CrashHandledOnAnAlternateStackKeepsTheInterruptedStack)
{
	REQUIRE_ROOT();
	TempDir t("skvaltstack");
	std::vector<std::string> args = crashprog::buildC(t.path(), "", crashprog::kAltStackC);
	std::string why, core = testsupport::make_core(args, t.path(), &why);
	ASSERT_FALSE(core.empty()) << why;
	CmdResult r = testsupport::run({kBin, core});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	std::string stripped = t.path() + "/small.core";
	writeFile(stripped, r.out);

	std::string full, collected = collectCrash(t, args, full);
	ASSERT_FALSE(collected.empty());
	for (auto cores : {std::make_pair(core, stripped), std::make_pair(full, collected)}) {
		SCOPED_TRACE(cores.second);
		GdbView v = sameFrames(args[0], cores.first, cores.second);
		ASSERT_EQ(v.threads.size(), 2u) << v.raw;
		const std::vector<std::string> *crashed = nullptr;
		for (auto &th : v.threads)
			if (std::find(th.second.begin(), th.second.end(), "on_segv") != th.second.end())
				crashed = &th.second;
		ASSERT_TRUE(crashed) << v.raw;
		// the handler, the signal frame, then the stack that faulted
		auto handler = std::find(crashed->begin(), crashed->end(), "on_segv");
		ASSERT_GE(crashed->end() - handler, 14) << v.raw;
		EXPECT_EQ(handler[1], "<signal") << v.raw;
		EXPECT_EQ(handler[2], "fault") << v.raw;
		EXPECT_EQ(std::count(handler, crashed->end(), "deep"), 10) << v.raw;
		EXPECT_NE(std::find(handler, crashed->end(), "worker"), crashed->end()) << v.raw;
		EXPECT_TRUE(hasFrame(v, "main")) << v.raw;
	}
}

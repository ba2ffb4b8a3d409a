// The skelvane command: messages, exit statuses, and that a failed read
// writes nothing. Run through the real binary.
#include "elf_view.h"
#include "golden.h"
#include "hand_core.h"
#include "test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::CmdResult;
using testsupport::golden;
using testsupport::run;
using testsupport::same_text;
using testsupport::sh;

namespace {

const std::string kBin = SKELVANE_BIN;

std::string writeCore(const testsupport::TempDir &d, const handcore::CoreImage &c, const std::string &name = "core",
		      size_t truncateTo = SIZE_MAX)
{
	std::string p = d.path() + "/" + name;
	c.write(p, truncateTo);
	return p;
}

} // namespace

TEST(Cli, UsageAndFilesThatCannotBeOpened)
{
	CmdResult r = run({kBin});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.out, "");
	EXPECT_GOLDEN(r.err, "skelvane-usage.txt", {{"PROG", kBin}});

	r = run({kBin, "/nonexistent/core"});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.out, "");
	EXPECT_GOLDEN(r.err, "skelvane-open-failed.txt", {{"PATH", "/nonexistent/core"}});

	// libelf cannot start on a directory, though open() accepts it
	testsupport::TempDir d("skvcli");
	r = run({kBin, d.path()});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.out, "");
	EXPECT_GOLDEN(r.err, "skelvane-elf-start-failed.txt", {{"PATH", d.path()}});

	// an empty argument vector has no name to show, but still gets the usage
	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		int devnull = open("/dev/null", O_WRONLY);
		dup2(devnull, 2);
		char *argv[] = {nullptr};
		char *envp[] = {nullptr};
		execve(kBin.c_str(), argv, envp);
		_exit(127);
	}
	int st = 0;
	waitpid(pid, &st, 0);
	ASSERT_TRUE(WIFEXITED(st));
	EXPECT_EQ(WEXITSTATUS(st), 255);
}

TEST(Cli, InputsThatAreNoUsableCore)
{
	testsupport::TempDir d("skvcli");
	{
		SCOPED_TRACE("not ELF at all");
		std::string p = d.path() + "/text";
		sh("echo 'just some text' > " + p);
		CmdResult r = run({kBin, p});
		EXPECT_EQ(r.status, 255);
		EXPECT_EQ(r.out, "");
		EXPECT_GOLDEN(r.err, "skelvane-no-notes.txt");
	}
	{
		SCOPED_TRACE("an executable with notes but no auxiliary vector");
		CmdResult r = run({kBin, kBin});
		EXPECT_EQ(r.status, 255);
		EXPECT_EQ(r.out, "");
		EXPECT_GOLDEN(r.err, "skelvane-no-dynamic.txt");
	}
	{
		SCOPED_TRACE("an ELF file without a note segment");
		handcore::Layout L;
		L.withNote = false;
		handcore::CoreImage c = handcore::standardCore(L);
		c.ehdr.e_type = ET_EXEC;
		CmdResult r = run({kBin, writeCore(d, c, "nonote")});
		EXPECT_EQ(r.status, 255);
		EXPECT_GOLDEN(r.err, "skelvane-no-notes.txt");
	}
	struct Case {
		const char *what;
		void (*shape)(handcore::Layout &);
		const char *message; // its expected text
	} cases[] = {
		{"statically linked: no PT_DYNAMIC", [](handcore::Layout &L) { L.withDynamic = false; },
		 "skelvane-no-dynamic.txt"},
		{"no DT_DEBUG", [](handcore::Layout &L) { L.withDebug = false; }, "skelvane-no-rdebug.txt"},
	};
	for (auto &cs : cases) {
		SCOPED_TRACE(cs.what);
		handcore::Layout L;
		cs.shape(L);
		CmdResult r = run({kBin, writeCore(d, handcore::standardCore(L), "shaped")});
		EXPECT_EQ(r.status, 255);
		EXPECT_EQ(r.out, "");
		EXPECT_GOLDEN(r.err, cs.message);
	}
	{
		SCOPED_TRACE("broken chain; a stack that was not dumped is only left out");
		handcore::CoreImage c = handcore::standardCore();
		handcore::patchLinkmap(c, 0, [](link_map &m) {
			m = link_map();
			m.l_next = (link_map *)0x7ffff7000100ull;
		});
		CmdResult r = run({kBin, writeCore(d, c, "chain")});
		EXPECT_EQ(r.status, 255);
		EXPECT_GOLDEN(r.err, "skelvane-no-linkmap.txt");
		c = handcore::standardCore();
		c.addPrStatus(0x7ffff7000100ull);
		r = run({kBin, writeCore(d, c, "stack")});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(elfview::View::of(r.out).eh.e_phnum, 11);
	}
}

// --keep-partial writes a core whose loaded objects cannot be found, with
// what it could keep and one line saying what it lacks; without it, or for a
// file that is no core, the run fails as it always has.
TEST(Cli, KeepPartialWritesWhatCanBeKeptAndSaysWhatIsMissing)
{
	testsupport::TempDir d("skvcli");
	struct Case {
		const char *what;
		void (*shape)(handcore::Layout &);
		const char *warning; // its expected text
		int segments;        // the note, the dynamic section if any, two stacks
	} cases[] = {
		{"statically linked: no PT_DYNAMIC", [](handcore::Layout &L) { L.withDynamic = false; },
		 "skelvane-partial-no-dynamic.txt", 3},
		{"no DT_DEBUG", [](handcore::Layout &L) { L.withDebug = false; }, "skelvane-partial-no-rdebug.txt", 4},
	};
	for (auto &cs : cases) {
		SCOPED_TRACE(cs.what);
		handcore::Layout L;
		cs.shape(L);
		std::string p = writeCore(d, handcore::standardCore(L), "partial");
		CmdResult r = run({kBin, "--build-ids", "--keep-partial", p});
		EXPECT_EQ(r.status, 0);
		EXPECT_GOLDEN(r.err, cs.warning);
		elfview::View v = elfview::View::of(r.out);
		EXPECT_TRUE(elfview::layoutIsTight(v));
		EXPECT_EQ(v.eh.e_phnum, cs.segments);
		r = run({kBin, "--keep-partial", "--no-keep-partial", p});
		EXPECT_EQ(r.status, 255);
		EXPECT_EQ(r.out, "");
	}
	CmdResult r = run({kBin, "--keep-partial", kBin});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.out, "");
	EXPECT_GOLDEN(r.err, "skelvane-no-dynamic.txt");
}

TEST(Cli, WritesTheStrippedCoreAndIgnoresFurtherArguments)
{
	testsupport::TempDir d("skvcli");
	std::string p = writeCore(d, handcore::standardCore());
	CmdResult r = run({kBin, p, "/nonexistent", "-x"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	elfview::View v = elfview::View::of(r.out);
	ASSERT_TRUE(elfview::layoutIsTight(v));
	EXPECT_EQ(v.eh.e_phnum, 11);
	EXPECT_EQ(v.ph[0].p_type, (uint32_t)PT_NOTE);
	for (size_t i = 1; i < v.ph.size(); i++)
		EXPECT_EQ(v.ph[i].p_type, (uint32_t)PT_LOAD);
}

TEST(Cli, UnwritableOutputIsReported)
{
	testsupport::TempDir d("skvcli");
	std::string p = writeCore(d, handcore::standardCore());
	// the hand-built output is a few KiB: it would still sit in the stream's
	// buffer when the state is tested, were it not flushed first
	for (const char *redirect : {">&-", ">/dev/full"}) {
		SCOPED_TRACE(redirect);
		CmdResult r = sh(kBin + " " + p + " " + redirect);
		EXPECT_EQ(r.status, 255);
		EXPECT_GOLDEN(r.err, "skelvane-write-failed.txt");
	}
}

TEST(Cli, HostileCoresEndCleanly)
{
	testsupport::TempDir d("skvcli");
	std::vector<std::pair<std::string, handcore::CoreImage> > cores;
	{
		handcore::CoreImage c = handcore::standardCore();
		c.ehdr.e_ident[EI_CLASS] = ELFCLASS32;
		cores.push_back({"64-bit layout labelled ELFCLASS32", c});
	}
	{
		handcore::CoreImage c = handcore::standardCore();
		c.ehdr.e_machine = EM_AARCH64;
		cores.push_back({"another machine", c});
	}
	{
		handcore::CoreImage c = handcore::standardCore();
		c.ehdr.e_ident[EI_DATA] = ELFDATA2MSB;
		cores.push_back({"big-endian", c});
	}
	{
		handcore::CoreImage c = handcore::standardCore();
		c.ehdr.e_phentsize = 200;
		cores.push_back({"odd program header size", c});
	}
	{
		handcore::CoreImage c = handcore::standardCore();
		// a mapping claiming far more bytes than the file has
		c.segs.back().ph.p_filesz = 1ull << 40;
		cores.push_back({"p_filesz beyond the file", c});
	}
	for (auto &hc : cores) {
		SCOPED_TRACE(hc.first);
		CmdResult r = run({kBin, writeCore(d, hc.second, "hostile")});
		EXPECT_TRUE(r.status == 0 || r.status == 255) << r.status << r.err;
		if (r.status == 255)
			EXPECT_EQ(r.out, "");
		else
			EXPECT_GE(r.out.size(), 64u);
	}
	// cut at every 211th byte: always a clean failure or a consistent output
	handcore::CoreImage c = handcore::standardCore();
	size_t full = c.bytes().size();
	for (size_t cut = 0; cut < full; cut += 211) {
		CmdResult r = run({kBin, writeCore(d, c, "cut", cut)});
		ASSERT_TRUE(r.status == 0 || r.status == 255) << cut << " " << r.status;
		if (r.status == 255)
			EXPECT_EQ(r.out, "") << cut;
		else
			EXPECT_TRUE(elfview::layoutIsTight(elfview::View::of(r.out))) << cut;
	}
}

// --help and --version answer on standard output with status 0; a long
// option the program does not know is a usage error, not a path.
TEST(Cli, HelpVersionAndUnknownOptions)
{
	CmdResult r = run({kBin, "--help"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	std::string usage = golden("skelvane-usage.txt", {{"PROG", kBin}});
	EXPECT_TRUE(same_text(usage, r.out.substr(0, usage.size())));
	for (const char *opt : {"--collect DIR", "--keep N", "--build-ids", "--keep-partial", "--no-keep-partial", "--version"})
		EXPECT_NE(r.out.find(opt), std::string::npos) << opt;

	r = run({kBin, "--version"});
	EXPECT_EQ(r.status, 0);
	EXPECT_GOLDEN(r.out, "skelvane-version.txt", {{"VERSION", SKELVANE_VERSION}});

	r = run({kBin, "--frobnicate", "/nonexistent"});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.out, "");
	EXPECT_GOLDEN(r.err, "skelvane-usage.txt", {{"PROG", kBin}});

	// a single dash is no option: such a word is the core's path, as ever
	r = run({kBin, "-x"});
	EXPECT_EQ(r.status, 255);
	EXPECT_GOLDEN(r.err, "skelvane-open-failed.txt", {{"PATH", "-x"}});
}

// The command line through the real binary: messages, streams and exit status,
// and the option conversions that no output shows. The cases that need a
// mounted image are in cli_mounted_test.cpp.
#include <algorithm>
#include <ctime>
#include <string>
#include <unistd.h>
#include <gtest/gtest.h>
#include "golden.h"
#include "quillfold.h"
#include "saved_settings.h"
#include "test_support.h"

using namespace testsupport;

namespace {

std::string usage_text()
{
	return golden("quillfold-usage.txt");
}

CmdResult qf(std::vector<std::string> args)
{
	args.insert(args.begin(), QUILLFOLD_BIN);
	return run(args);
}

// A directory that does not exist: every run that gets past the options stops
// there, which shows that the options were accepted.
const std::string nodir = "/nonexistent-qf-dir";
std::string nodir_err()
{
	return golden("quillfold-no-directory.txt", {{"DIR", nodir}, {"ERRNO", "2"}});
}

TEST(CommandLine, OptionErrorsPrintTheirMessageThenUsage)
{
	struct Case {
		std::vector<std::string> args;
		std::string message; // expected text before the usage, if any
	} cases[] = {
		{{"-c", "0", "d", "m"}, "quillfold-cluster-size.txt"},
		{{"-c", "3", "d", "m"}, "quillfold-cluster-size.txt"},
		{{"-c", "junk", "d", "m"}, "quillfold-cluster-size.txt"},
		{{"-C", "0", "d", "m"}, "quillfold-reloc-cluster-size.txt"},
		{{"-C", "0x3000", "d", "m"}, "quillfold-reloc-cluster-size.txt"},
		{{"-q", "1001", "d", "m"}, ""},
		// a negative per mille would become a huge unsigned factor
		{{"-q", "-1", "d", "m"}, ""},
		{{"-h"}, ""},
		{{"-v", "-h", "d", "m"}, ""},
		{{}, "quillfold-missing-device.txt"},
		{{"dev"}, "quillfold-missing-device.txt"},
		{{"dev", "dir", "extra"}, "quillfold-missing-device.txt"},
		{{"-v", "-m"}, "quillfold-missing-device.txt"},
	};
	for (auto &c : cases) {
		CmdResult r = qf(c.args);
		std::string what = ::testing::PrintToString(c.args);
		EXPECT_EQ(r.status, 1) << what;
		std::string message = c.message.empty() ? "" : golden(c.message);
		EXPECT_TRUE(same_text(message + usage_text(), r.err)) << what;
		EXPECT_EQ(r.out, "") << what;
	}
}

TEST(CommandLine, GetoptDiagnosticsPrecedeTheUsage)
{
	for (auto args : {std::vector<std::string>{"-x", "d", "m"}, std::vector<std::string>{"d", "m", "-c"}}) {
		CmdResult r = qf(args);
		EXPECT_EQ(r.status, 1);
		ASSERT_GE(r.err.size(), usage_text().size());
		EXPECT_TRUE(same_text(usage_text(), r.err.substr(r.err.size() - usage_text().size())));
		EXPECT_NE(r.err.find("quillfold"), std::string::npos) << r.err;
		EXPECT_NE(r.err.find("option"), std::string::npos) << r.err;
	}
}

TEST(CommandLine, AcceptedValuesReachTheDirectoryOpen)
{
	// limits that are still valid, numbers in every base, trailing junk ignored
	for (auto args : {std::vector<std::string>{"-q", "1000"}, {"-q", "0"}, {"-c", "0x1000"},
			  {"-c", "010000"}, {"-C", "1024"}, {"-C", "4096k"}, {"-F", "24"},
			  {"-f", "-F", "0"}, {"-a", "100", "-s", "7", "-t", "60", "-d", "0x48"},
			  {"-l", "-n", "-m"}}) {
		args.push_back("dev");
		args.push_back(nodir);
		CmdResult r = qf(args);
		std::string what = ::testing::PrintToString(args);
		EXPECT_EQ(r.status, 1) << what;
		EXPECT_TRUE(same_text(nodir_err(), r.err)) << what;
		EXPECT_EQ(r.out, "") << what;
	}
}

TEST(CommandLine, LongHelpGoesToStdoutAndLongOptionsMixWithShortOnes)
{
	CmdResult r = qf({"--help"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	std::string head = usage_text() + "Long options:\n";
	EXPECT_TRUE(same_text(head, r.out.substr(0, head.size())));
	EXPECT_NE(r.out.find("\t--keep-going: "), std::string::npos) << r.out;

	r = qf({"-v", "--keep-going", "dev", nodir, "-n"});
	EXPECT_EQ(r.status, 1);
	EXPECT_TRUE(same_text(nodir_err(), r.err));
}

TEST(CommandLine, RefusedLongOptionValuesAreOneLineNamingOptionAndValue)
{
	struct Case {
		std::vector<std::string> args;
		std::string option, value; // what the line must name
	} cases[] = {
		{{"--time-limit", "0"}, "--time-limit", "'0'"},
		{{"--time-limit", "-3"}, "--time-limit", "'-3'"},
		{{"--time-limit", "ten"}, "--time-limit", "'ten'"},
		{{"--time-limit", "5s"}, "--time-limit", "'5s'"},
		{{"--time-limit", "inf"}, "--time-limit", "'inf'"},
		{{"--time-limit", ""}, "--time-limit", "''"},
		{{"--max-rate", "0"}, "--max-rate", "'0'"},
		{{"--max-rate", "-20"}, "--max-rate", "'-20'"},
		{{"--max-rate", "fast"}, "--max-rate", "'fast'"},
		{{"--max-rate", "0x10"}, "--max-rate", "'0x10'"},
		{{"--json"}, "--json", ""},
		{{"--json", "-m", "--space-aware"}, "--json", ""},
	};
	for (auto &c : cases) {
		std::vector<std::string> args = c.args;
		args.push_back("dev");
		args.push_back(nodir);
		CmdResult r = qf(args);
		std::string what = ::testing::PrintToString(c.args);
		EXPECT_EQ(r.status, 1) << what;
		EXPECT_EQ(r.out, "") << what;
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << r.err;
		EXPECT_EQ(r.err.rfind("quillfold: " + c.option, 0), 0u) << what << r.err;
		EXPECT_NE(r.err.find(c.value), std::string::npos) << what << r.err;
	}
	// values that are taken: the run gets as far as the directory
	for (auto args : {std::vector<std::string>{"--time-limit", "0.5"}, {"--time-limit", "3600"},
			  {"--max-rate", "20"}, {"--max-rate", ".5"}, {"--json", "--report"},
			  {"--analyze", "--json"}, {"--idle", "--path", "a", "--path", "b"}}) {
		args.push_back("dev");
		args.push_back(nodir);
		CmdResult r = qf(args);
		EXPECT_TRUE(same_text(nodir_err(), r.err)) << ::testing::PrintToString(args);
	}
}

TEST(CommandLine, FutureTimestampWarnsOnlyWhenVerboseComesFirst)
{
	time_t ahead = time(nullptr) + 3600;
	std::string T = std::to_string((unsigned long)ahead);

	CmdResult r = qf({"-v", "-T", T, "dev", nodir});
	EXPECT_EQ(r.status, 1);
	unsigned long secs = 0;
	ASSERT_EQ(sscanf(r.err.c_str(), "WARNING: timestamp is at %lu seconds in future\n", &secs), 1)
		<< r.err;
	// 3600 less the seconds between our clock read and the program's
	EXPECT_LE(secs, 3600u);
	EXPECT_GE(secs, 3500u);
	EXPECT_TRUE(same_text(golden("quillfold-future-timestamp.txt", {{"SECONDS", std::to_string(secs)}}) +
				      nodir_err(),
			      r.err));

	r = qf({"-T", T, "-v", "dev", nodir});
	EXPECT_TRUE(same_text(nodir_err(), r.err)) << "-v after -T: no warning";
	// a timestamp in the past never warns
	r = qf({"-v", "-T", "1000", "dev", nodir});
	EXPECT_TRUE(same_text(nodir_err(), r.err));
}

TEST(CommandLine, DeviceMustBeABlockDevice)
{
	TempDir dir;
	std::string file = dir.path() + "/plain";
	sh_ok("touch '" + file + "'");
	CmdResult r = qf({file, dir.path()});
	EXPECT_EQ(r.status, 1);
	EXPECT_GOLDEN(r.err, "quillfold-not-block-device.txt", {{"DEVICE", file}});

	r = qf({dir.path() + "/missing", dir.path()});
	EXPECT_EQ(r.status, 1);
	EXPECT_GOLDEN(r.err, "quillfold-no-such-device.txt", {{"DEVICE", dir.path() + "/missing"}});

	// root_dir that is a file, not a directory
	r = qf({file, file});
	EXPECT_EQ(r.status, 1);
	EXPECT_GOLDEN(r.err, "quillfold-no-directory.txt", {{"DIR", file}, {"ERRNO", "20"}});
}

// parse_options in-process, for what the run does not print.
struct ParsedArgs {
	std::vector<std::string> store;
	std::vector<char *> argv;
	defrag_options o{};
	explicit ParsedArgs(std::vector<std::string> a)
	{
		store.push_back("quillfold");
		store.insert(store.end(), a.begin(), a.end());
		store.push_back("dev");
		store.push_back("dir");
		for (auto &s : store)
			argv.push_back(&s[0]);
		argv.push_back(nullptr);
		EXPECT_EQ(parse_options((int)store.size(), argv.data(), &o), OPTIONS_OK);
	}
	~ParsedArgs() { options_free(&o); }
	uint32_t flex(uint32_t sb) const { return options_flex_log(&o, sb); }
};

// parse_options sets the process-wide settings as the program would
class OptionConversion : public SettingsTest {};

TEST_F(OptionConversion, FlexGroupingLastChoiceWins)
{
	EXPECT_EQ(ParsedArgs({}).flex(4), 0u) << "no grouping unless asked";
	EXPECT_EQ(ParsedArgs({"-f"}).flex(4), 4u);
	EXPECT_EQ(ParsedArgs({"-F", "24"}).flex(4), 4u);
	EXPECT_EQ(ParsedArgs({"-F", "16"}).flex(0), 4u);
	EXPECT_EQ(ParsedArgs({"-F", "1"}).flex(4), 0u);
	EXPECT_EQ(ParsedArgs({"-F", "0x20"}).flex(0), 5u);
	EXPECT_EQ(ParsedArgs({"-f", "-F", "0"}).flex(4), 0u);
	EXPECT_EQ(ParsedArgs({"-F", "0", "-f"}).flex(4), 4u);
	EXPECT_EQ(ParsedArgs({"-F", "8", "-f"}).flex(2), 2u);
	// beyond 32 bits of group number the shift would be undefined
	EXPECT_EQ(ParsedArgs({"-F", "0x10000000000"}).flex(0), 31u);
	EXPECT_EQ(ParsedArgs({"-f"}).flex(40), 31u);
}

TEST_F(OptionConversion, DefaultsAndRawValues)
{
	ParsedArgs d({});
	EXPECT_EQ(d.o.cluster_bytes, 0x100000u);
	EXPECT_EQ(d.o.reloc_cluster_bytes, 0u);
	EXPECT_EQ(d.o.quality, 700);
	EXPECT_EQ(d.o.scale, 2u);
	EXPECT_EQ(d.o.min_frag_bytes, 0u);
	EXPECT_STREQ(d.o.device, "dev");
	EXPECT_STREQ(d.o.root_dir, "dir");

	ParsedArgs p({"-a", "0x200000000", "-s", "010", "-q", "1000", "-l", "-n"});
	EXPECT_EQ(p.o.min_frag_bytes, 0x200000000ull) << "-a is 64-bit";
	EXPECT_EQ(p.o.scale, 8u) << "octal";
	EXPECT_EQ(p.o.quality, 1000);
	EXPECT_EQ(p.o.force_local, 1);
	EXPECT_EQ(p.o.dry_run, 1);

	uint32_t now = (uint32_t)start_time.tv_sec;
	ParsedArgs t({"-t", "100"});
	EXPECT_EQ(old_time, now - 100);
	ParsedArgs tt({"-T", "12345"});
	EXPECT_EQ(old_time, 12345u);

	ParsedArgs l({"--path", "a", "--time-limit", "1.5", "--path", "b", "--max-rate", "20"});
	ASSERT_EQ(l.o.npaths, 2u);
	EXPECT_STREQ(l.o.paths[0], "a");
	EXPECT_STREQ(l.o.paths[1], "b");
	EXPECT_DOUBLE_EQ(l.o.time_limit, 1.5);
	EXPECT_DOUBLE_EQ(l.o.max_rate, 20.0);
}

} // namespace

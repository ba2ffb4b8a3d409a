// --analyze and --json on a real image: the analysis writes nothing and
// moves nothing, its figures are filefrag's and e2freefrag's, and the JSON
// object carries the numbers of the text form.
#include <sstream>
#include "inplace_fixture.h"
#include "tree_maps.h"

using namespace testsupport;
using namespace inplace;
using namespace treemaps;

namespace {

CmdResult qf(std::vector<std::string> args)
{
	args.insert(args.begin(), QUILLFOLD_BIN);
	return run(args);
}

// "key: value" lines of quillfold's text output, tabs and blanks trimmed.
std::map<std::string, std::string> text_figures(const std::string &out)
{
	std::map<std::string, std::string> f;
	std::istringstream in(out);
	std::string line;
	while (std::getline(in, line)) {
		size_t colon = line.find(':');
		if (line.empty() || line[0] != '\t' || colon == std::string::npos)
			continue;
		std::string key = line.substr(1, colon - 1), val = line.substr(colon + 1);
		val = val.substr(val.find_first_not_of("\t "));
		f[key] = val.substr(0, val.find_first_of(" \t"));
	}
	return f;
}

// The JSON object's fields flattened to "a.b=value" lines, by python3's parser.
std::map<std::string, std::string> json_fields(const std::string &text)
{
	const char *code = "import json,sys\n"
			   "def walk(p, v):\n"
			   "  if isinstance(v, dict):\n"
			   "    for k in v: walk(p + [k], v[k])\n"
			   "  elif isinstance(v, list):\n"
			   "    for i, x in enumerate(v): walk(p + [str(i)], x)\n"
			   "  else: print('.'.join(p) + '=' + json.dumps(v))\n"
			   "walk([], json.loads(sys.stdin.read()))\n";
	CmdResult r = run({"python3", "-c", code}, text);
	EXPECT_EQ(r.status, 0) << "not one JSON object: " << r.err << text;
	std::map<std::string, std::string> f;
	std::istringstream in(r.out);
	std::string line;
	while (std::getline(in, line))
		f[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
	return f;
}

void fragmented_tree(LoopImage &img)
{
	interleave_allocations(img);
	std::vector<std::string> files;
	for (int i = 0; i < 12; i++)
		files.push_back(img.path("f" + std::to_string(i)));
	write_interleaved(files, 40, 3, 4096, 7);
	for (int i = 0; i < 12; i += 3)
		unlink(files[i].c_str());
	sh_ok("mkdir '" + img.path("d") + "'");
	write_interleaved({img.path("d/big"), img.path("d/x")}, 300, 5, 4096, 8);
	img.settle();
}

} // namespace

TEST(Analyze, ChangesNothingAndAgreesWithFilefragAndE2freefrag)
{
	REQUIRE_ROOT();
	// every read of a directory would update its access time
	LoopImage img(64, "-b 4096", "strictatime");
	ASSERT_TRUE(img.ok());
	fragmented_tree(img);
	auto maps0 = tree_maps(img);
	auto free0 = free_map(img);
	// (the snapshot's own directory reads are written now, not later)
	sh_ok("sync -f '" + img.mnt() + "'");
	uint64_t writes0 = img.device_writes();

	CmdResult r = qf({"--analyze", img.device(), img.mnt()});
	ASSERT_EQ(r.status, 0) << r.err;
	sh_ok("sync -f '" + img.mnt() + "'");
	EXPECT_EQ(img.device_writes(), writes0) << "an analysis writes nothing";
	EXPECT_TRUE(changed(maps0, tree_maps(img)).empty());
	EXPECT_EQ(free_map(img), free0);

	// the figures, against filefrag and e2freefrag
	auto f = text_figures(r.out);
	long long files = 0, fragmented = 0, fragments = 0, most = 0;
	for (auto &kv : maps0) {
		unsigned n = testsupport::fragments(filefrag(img.mnt() + "/" + kv.first));
		files++;
		fragments += n;
		fragmented += n > 1;
		most = std::max(most, (long long)n);
	}
	EXPECT_EQ(f["files"], std::to_string(files));
	EXPECT_EQ(f["fragmented files"], std::to_string(fragmented));
	EXPECT_EQ(f["file fragments"], std::to_string(fragments));
	std::string ff = sh_ok("e2freefrag " + img.device());
	auto num = [&](const std::string &label) {
		size_t p = ff.find(label);
		return p == std::string::npos ? std::string("?")
					      : std::to_string(atoll(ff.c_str() + p + label.size()));
	};
	EXPECT_EQ(f["free blocks"], num("Free blocks:"));
	EXPECT_EQ(f["free extents"], num("Num. free extent:"));
	EXPECT_EQ(f["largest free extent"], num("Max. free extent:"));
	// the most fragmented file heads the list, and the verdict is given
	size_t list = r.out.find("Most fragmented files");
	ASSERT_NE(list, std::string::npos) << r.out;
	EXPECT_EQ(r.out.find("\t" + std::to_string(most) + "\t", list), r.out.find('\n', list) + 1)
		<< r.out;
	EXPECT_NE(r.out.find("\nVerdict: a run is worth it: "), std::string::npos) << r.out;

	// data not written back yet stays so: the maps are read as they are
	sh_ok("dd if=/dev/urandom of='" + img.path("dirty") + "' bs=4k count=8 status=none");
	auto dirty0 = tree_maps(img)["./dirty"];
	ASSERT_NE(dirty0.find("delalloc"), std::string::npos) << dirty0;
	ASSERT_EQ(qf({"--analyze", img.device(), img.mnt()}).status, 0);
	EXPECT_EQ(tree_maps(img)["./dirty"], dirty0);
}

TEST(Analyze, JsonCarriesTheNumbersOfTheTextForm)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096");
	ASSERT_TRUE(img.ok());
	fragmented_tree(img);

	CmdResult text = qf({"--analyze", img.device(), img.mnt()});
	CmdResult json = qf({"--analyze", "--json", img.device(), img.mnt()});
	ASSERT_EQ(text.status, 0) << text.err;
	ASSERT_EQ(json.status, 0) << json.err;
	auto t = text_figures(text.out);
	auto j = json_fields(json.out);
	const std::pair<const char *, const char *> same[] = {
		{"files", "now.files"},
		{"fragmented files", "now.fragmented_files"},
		{"file fragments", "now.file_fragments"},
		{"free blocks", "now.free_blocks"},
		{"free extents", "now.free_extents"},
		{"largest free extent", "now.largest_free_extent_kib"},
		{"free space in chunks >= 1024 KiB", "now.free_in_chunks_pct"},
		{"data in files", "analysis.data_kib"},
		{"data in fragmented files", "analysis.fragmented_data_pct"},
		{"read time the pieces add", "analysis.read_cost_pct"},
	};
	for (auto &kv : same)
		EXPECT_EQ(std::stod(t[kv.first]), std::stod(j[kv.second])) << kv.first;
	EXPECT_EQ(j["verdict.worth_running"], "true");
	std::string verdict = text.out.substr(text.out.find("Verdict: ") + 9);
	EXPECT_EQ(j["verdict.text"], "\"" + verdict.substr(0, verdict.find('\n')) + "\"");
	std::string first = text.out.substr(text.out.find("Most fragmented files"));
	first = first.substr(first.find('\n') + 1);
	first = first.substr(0, first.find('\n'));
	EXPECT_EQ(j["most_fragmented.0.path"], "\"" + first.substr(first.rfind('\t') + 1) + "\"");

	// a run's report: only the object on standard output, the lines of -v
	// and -m on standard error; "before" is what the analysis saw
	CmdResult rep = qf({"-n", "-v", "-m", "--report", "--json", img.device(), img.mnt()});
	ASSERT_EQ(rep.status, 0) << rep.err;
	auto r = json_fields(rep.out);
	for (const char *key : {"files", "fragmented_files", "file_fragments", "free_blocks",
				"free_extents", "largest_free_extent_kib", "free_in_chunks_pct"})
		EXPECT_EQ(r[std::string("before.") + key], j[std::string("now.") + key]) << key;
	EXPECT_EQ(r["mode"], "\"default\"");
	EXPECT_EQ(r["run.exit_status"], "0");
	EXPECT_NE(rep.err.find("Pass1:"), std::string::npos);
	EXPECT_NE(rep.err.find("Inodes  scanned:"), std::string::npos);
}

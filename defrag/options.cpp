#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>
#include "options.h"
#include "progress.h"

static const char *const prog_name = "quillfold";

// The usage text of -h.
static void print_usage(FILE *f)
{
	fprintf(f, "Usage: %s [-v] [-n] [-d flags] [-t seconds] -t [time] device root_dir\n",
		prog_name);
	fprintf(f, "\t\t -a: minimal fragment size\n");
	fprintf(f, "\t\t -c: cluster size\n");
	fprintf(f, "\t\t -d: debug flags\n");
	fprintf(f, "\t\t -f: Enable default flex group optimization\n");
	fprintf(f, "\t\t -F: same as '-f' but provides manual flex grp log size\n");
	fprintf(f, "\t\t -l: force new blocks only inside single meta group\n");
	fprintf(f, "\t-m: dump fs and memory statistics at the end\n");
	fprintf(f, "\t-n: dry run\n");
	fprintf(f, "\t\t -s: scale factor\n");
	fprintf(f, "\t\t -q: defragmentaion quality factor\n");
	fprintf(f, "\t\t -t: interpret inodes which was modified before N second as RO files\n");
	fprintf(f, "\t\t -T: same as '-t' but use absolute value\n");
}

// Behaviour beyond the short options comes behind long ones. Each has a value
// of its own (past any character) for the switch below and one line of help.
enum {
	OPT_HELP = 0x100,
	OPT_KEEP_GOING,
	OPT_VERSION,
	OPT_PROGRESS,
	OPT_SPACE_AWARE,
	OPT_REPORT,
	OPT_PATH,
	OPT_ANALYZE,
	OPT_JSON,
	OPT_TIME_LIMIT,
	OPT_MAX_RATE,
	OPT_IDLE,
};

static const struct long_opt_desc {
	struct option opt;
	const char *help;
} long_opts[] = {
	{{"help", no_argument, nullptr, OPT_HELP},
	 "print this text and the long options on standard output"},
	{{"keep-going", no_argument, nullptr, OPT_KEEP_GOING},
	 "skip an entry that vanishes between the directory read and its open, and go on"},
	{{"version", no_argument, nullptr, OPT_VERSION}, "print the version on standard output"},
	{{"progress", no_argument, nullptr, OPT_PROGRESS},
	 "when standard error is a terminal, keep one line there saying how far the passes are"},
	{{"space-aware", no_argument, nullptr, OPT_SPACE_AWARE},
	 "plan and account every move with the free-space picture: small files into holes "
	 "first, large free extents kept, never more free extents than there were"},
	{{"report", no_argument, nullptr, OPT_REPORT},
	 "print file and free-space fragmentation before the first pass and after the last"},
	{{"path", required_argument, nullptr, OPT_PATH},
	 "PATH: only this file, or the files below this directory (may be repeated); a file "
	 "named so is defragmented whatever its size, in ranges when no donor holds it whole"},
	{{"analyze", no_argument, nullptr, OPT_ANALYZE},
	 "read only: the report's figures, the ten most fragmented files and whether a run "
	 "is worth it; nothing is written anywhere"},
	{{"json", no_argument, nullptr, OPT_JSON},
	 "with --report or --analyze: the figures as one JSON object on standard output, "
	 "every other line on standard error"},
	{{"time-limit", required_argument, nullptr, OPT_TIME_LIMIT},
	 "SECONDS: stop moving after this long (the move under way is finished), say what "
	 "was left, exit 0"},
	{{"max-rate", required_argument, nullptr, OPT_MAX_RATE},
	 "MiB: move at most this much data per second, measured over any 5 seconds"},
	{{"idle", no_argument, nullptr, OPT_IDLE},
	 "run in the idle I/O priority class and at nice 19, so that other work goes first"},
};
#define LONG_OPT_COUNT (sizeof(long_opts) / sizeof(long_opts[0]))

// --help: the usage text, then the long options, on standard output.
static void print_long_help(void)
{
	print_usage(stdout);
	printf("Long options:\n");
	for (size_t i = 0; i < LONG_OPT_COUNT; i++)
		printf("\t--%s: %s\n", long_opts[i].opt.name, long_opts[i].help);
}

void report_options(enum options_status status, const char *bad_option, const char *bad_value)
{
	switch (status) {
	case OPTIONS_OK:
		return;
	case OPTIONS_BAD_VALUE:
		fprintf(stderr, "%s: --%s '%s': %s\n", prog_name, bad_option, bad_value,
			strcmp(bad_option, "time-limit") == 0
				? "not a number of seconds above 0"
				: "not a number of MiB per second above 0");
		return;
	case OPTIONS_JSON_ALONE:
		fprintf(stderr, "%s: --json: the figures come with --report or --analyze\n",
			prog_name);
		return;
	case OPTIONS_NO_MEMORY:
		fprintf(stderr, "%s: --path '%s': Can not allocate memory\n", prog_name, bad_value);
		return;
	case OPTIONS_HELP:
		print_long_help();
		return;
	case OPTIONS_VERSION:
		printf("%s %s\n", prog_name, QUILLFOLD_VERSION);
		return;
	case OPTIONS_BAD_CLUSTER:
		fprintf(stderr, "gefragmentation cluster size must be power of 2\n");
		break;
	case OPTIONS_BAD_RELOC:
		fprintf(stderr, "Relocation cluster size must be power of 2");
		break;
	case OPTIONS_MISSING_DEVICE:
		fprintf(stderr, "%s: missing device name.\n", prog_name);
		break;
	case OPTIONS_USAGE:
		break;
	}
	print_usage(stderr);
}

static bool is_pow2(uint32_t v)
{
	return v && !(v & (v - 1));
}

uint32_t options_flex_log(const defrag_options *o, uint32_t sb_log_groups_per_flex)
{
	uint32_t l = 0;
	if (o->flex_mode == 1)
		l = sb_log_groups_per_flex;
	else if (o->flex_mode == 2)
		l = o->flex_log_manual;
	return l > 31 ? 31 : l;
}

double positive_number(const char *text)
{
	char *end = nullptr;
	// digits first: strtod would also take "inf", "nan", hexadecimal and
	// leading blanks, none of which is a number of seconds
	if (!text || !((text[0] >= '0' && text[0] <= '9') || text[0] == '.'))
		return 0;
	errno = 0;
	double v = strtod(text, &end);
	if (errno || end == text || *end || !std::isfinite(v) || v <= 0)
		return 0;
	for (const char *c = text; c < end; c++)
		if (!((*c >= '0' && *c <= '9') || *c == '.'))
			return 0;
	return v;
}

void options_free(defrag_options *o)
{
	free(o->paths);
	o->paths = nullptr;
	o->npaths = 0;
}

static enum options_status add_path(defrag_options *o, const char *arg)
{
	const char **bigger = (const char **)realloc(o->paths, (o->npaths + 1) * sizeof(*o->paths));
	if (!bigger) {
		o->bad_option = "path";
		o->bad_value = arg;
		return OPTIONS_NO_MEMORY;
	}
	o->paths = bigger;
	o->paths[o->npaths++] = arg;
	return OPTIONS_OK;
}

static enum options_status take_number(defrag_options *o, const char *name, const char *arg,
				       double *slot)
{
	*slot = positive_number(arg);
	if (*slot > 0)
		return OPTIONS_OK;
	o->bad_option = name;
	o->bad_value = arg;
	return OPTIONS_BAD_VALUE;
}

static void set_defaults(defrag_options *o)
{
	o->min_frag_bytes = 0;
	o->cluster_bytes = 0x100000;
	o->reloc_cluster_bytes = 0;
	o->flex_mode = 0;
	o->flex_log_manual = 0;
	o->force_local = 0;
	o->dry_run = 0;
	o->quality = 700;
	o->scale = 2;
	o->device = nullptr;
	o->root_dir = nullptr;
	o->keep_going = 0;
	o->space_aware = 0;
	o->report = 0;
	o->analyze = 0;
	o->json = 0;
	o->idle = 0;
	o->time_limit = 0;
	o->max_rate = 0;
	o->paths = nullptr;
	o->npaths = 0;
	o->bad_option = nullptr;
	o->bad_value = nullptr;
}

// One option as getopt_long returns it, with its argument; OPTIONS_OK when
// it was taken.
static enum options_status take_option(int c, const char *arg, defrag_options *o)
{
	uint32_t now = (uint32_t)start_time.tv_sec;

	switch (c) {
	case OPT_HELP:
		return OPTIONS_HELP;
	case OPT_KEEP_GOING:
		o->keep_going = 1;
		break;
	case OPT_VERSION:
		return OPTIONS_VERSION;
	case OPT_PROGRESS:
		progress_requested = 1;
		break;
	case OPT_SPACE_AWARE:
		o->space_aware = 1;
		break;
	case OPT_REPORT:
		o->report = 1;
		break;
	case OPT_PATH:
		return add_path(o, arg);
	case OPT_ANALYZE:
		o->analyze = 1;
		break;
	case OPT_JSON:
		o->json = 1;
		break;
	case OPT_TIME_LIMIT:
		return take_number(o, "time-limit", arg, &o->time_limit);
	case OPT_MAX_RATE:
		return take_number(o, "max-rate", arg, &o->max_rate);
	case OPT_IDLE:
		o->idle = 1;
		break;
	case 'a':
		o->min_frag_bytes = strtoul(arg, nullptr, 0);
		break;
	case 'c':
		o->cluster_bytes = (uint32_t)strtoul(arg, nullptr, 0);
		if (!is_pow2(o->cluster_bytes))
			return OPTIONS_BAD_CLUSTER;
		break;
	case 'C':
		o->reloc_cluster_bytes = (uint32_t)strtoul(arg, nullptr, 0);
		if (!is_pow2(o->reloc_cluster_bytes))
			return OPTIONS_BAD_RELOC;
		break;
	case 'd':
		debug_flags = (uint32_t)strtoul(arg, nullptr, 0);
		break;
	case 'f':
		o->flex_mode = 1;
		break;
	case 'F': {
		uint64_t count = strtoul(arg, nullptr, 0);
		o->flex_mode = 2;
		o->flex_log_manual = count ? floor_log2(count) : 0;
		break;
	}
	case 'l':
		o->force_local = 1;
		break;
	case 'm':
		show_stats = 1;
		break;
	case 'n':
		o->dry_run = 1;
		break;
	case 'q':
		o->quality = (int32_t)strtoul(arg, nullptr, 0);
		// A per-mille share outside 0..1000 means nothing; a negative one
		// would turn into a huge unsigned factor and reject every window.
		if (o->quality > 1000 || o->quality < 0)
			return OPTIONS_USAGE;
		break;
	case 's':
		o->scale = (uint32_t)strtoul(arg, nullptr, 0);
		break;
	case 't':
		old_time = now - (uint32_t)strtoul(arg, nullptr, 0);
		break;
	case 'T':
		old_time = (uint32_t)strtoul(arg, nullptr, 0);
		if (old_time > now && verbose)
			fprintf(stderr, "WARNING: timestamp is at %lu seconds in future\n",
				(unsigned long)(old_time - now));
		break;
	case 'v':
		verbose = 1;
		break;
	case 'h':
	default:
		return OPTIONS_USAGE;
	}
	return OPTIONS_OK;
}

enum options_status parse_options(int argc, char **argv, defrag_options *o)
{
	struct option getopt_table[LONG_OPT_COUNT + 1] = {};
	for (size_t i = 0; i < LONG_OPT_COUNT; i++)
		getopt_table[i] = long_opts[i].opt;

	set_defaults(o);
	optind = 0; // a full restart of getopt: argv may not be the first one parsed
	int c;
	while ((c = getopt_long(argc, argv, "a:C:c:d:fF:hlmnt:s:T:vq:", getopt_table, nullptr)) !=
	       -1) {
		enum options_status st = take_option(c, optarg, o);
		if (st != OPTIONS_OK)
			return st;
	}
	if (argc - optind != 2)
		return OPTIONS_MISSING_DEVICE;
	if (o->json && !o->report && !o->analyze)
		return OPTIONS_JSON_ALONE;
	o->device = argv[optind];
	o->root_dir = argv[optind + 1];
	return OPTIONS_OK;
}

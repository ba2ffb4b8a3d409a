#include <cstdio>
#include <cstdlib>
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

void report_options(enum options_status status)
{
	switch (status) {
	case OPTIONS_OK:
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
	o->device = argv[optind];
	o->root_dir = argv[optind + 1];
	return OPTIONS_OK;
}

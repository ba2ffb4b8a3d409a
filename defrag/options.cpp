#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include "options.h"

static const char *const prog_name = "quillfold";

void usage(void)
{
	fprintf(stderr, "Usage: %s [-v] [-n] [-d flags] [-t seconds] -t [time] device root_dir\n",
		prog_name);
	fprintf(stderr, "\t\t -a: minimal fragment size\n");
	fprintf(stderr, "\t\t -c: cluster size\n");
	fprintf(stderr, "\t\t -d: debug flags\n");
	fprintf(stderr, "\t\t -f: Enable default flex group optimization\n");
	fprintf(stderr, "\t\t -F: same as '-f' but provides manual flex grp log size\n");
	fprintf(stderr, "\t\t -l: force new blocks only inside single meta group\n");
	fprintf(stderr, "\t-m: dump fs and memory statistics at the end\n");
	fprintf(stderr, "\t-n: dry run\n");
	fprintf(stderr, "\t\t -s: scale factor\n");
	fprintf(stderr, "\t\t -q: defragmentaion quality factor\n");
	fprintf(stderr, "\t\t -t: interpret inodes which was modified before N second as RO files\n");
	fprintf(stderr, "\t\t -T: same as '-t' but use absolute value\n");
	exit(1);
}

static bool is_pow2(uint32_t v)
{
	return v && !(v & (v - 1));
}

static uint32_t floor_log2(uint64_t v)
{
	uint32_t l = 0;
	while (v >>= 1)
		l++;
	return l;
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

void parse_options(int argc, char **argv, defrag_options *o)
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

	uint32_t now = (uint32_t)start_time.tv_sec;
	int c;
	while ((c = getopt(argc, argv, "a:C:c:d:fF:hlmnt:s:T:vq:")) != -1) {
		switch (c) {
		case 'a':
			o->min_frag_bytes = strtoul(optarg, nullptr, 0);
			break;
		case 'c':
			o->cluster_bytes = (uint32_t)strtoul(optarg, nullptr, 0);
			if (!is_pow2(o->cluster_bytes)) {
				fprintf(stderr, "gefragmentation cluster size must be power of 2\n");
				usage();
			}
			break;
		case 'C':
			o->reloc_cluster_bytes = (uint32_t)strtoul(optarg, nullptr, 0);
			if (!is_pow2(o->reloc_cluster_bytes)) {
				fprintf(stderr, "Relocation cluster size must be power of 2");
				usage();
			}
			break;
		case 'd':
			debug_flags = (uint32_t)strtoul(optarg, nullptr, 0);
			break;
		case 'f':
			o->flex_mode = 1;
			break;
		case 'F': {
			uint64_t count = strtoul(optarg, nullptr, 0);
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
			o->quality = (int32_t)strtoul(optarg, nullptr, 0);
			// A per-mille share outside 0..1000 means nothing; a negative one
			// would turn into a huge unsigned factor and reject every window.
			if (o->quality > 1000 || o->quality < 0)
				usage();
			break;
		case 's':
			o->scale = (uint32_t)strtoul(optarg, nullptr, 0);
			break;
		case 't':
			old_time = now - (uint32_t)strtoul(optarg, nullptr, 0);
			break;
		case 'T':
			old_time = (uint32_t)strtoul(optarg, nullptr, 0);
			if (old_time > now && verbose)
				fprintf(stderr, "WARNING: timestamp is at %lu seconds in future\n",
					(unsigned long)(old_time - now));
			break;
		case 'v':
			verbose = 1;
			break;
		case 'h':
		default:
			usage();
		}
	}
	if (argc - optind != 2) {
		fprintf(stderr, "%s: missing device name.\n", prog_name);
		usage();
	}
	o->device = argv[optind];
	o->root_dir = argv[optind + 1];
}

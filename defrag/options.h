// Command-line parsing for the defragmenter.
#pragma once
#include "context.h"

// What the command line asked for, before the file system is open (byte
// values are converted to blocks once the block size is known).
struct defrag_options {
	uint64_t min_frag_bytes;    // -a
	uint32_t cluster_bytes;     // -c
	uint32_t reloc_cluster_bytes; // -C, 0 when not given
	int flex_mode;              // 0 none, 1 from the superblock (-f), 2 by hand (-F)
	uint32_t flex_log_manual;   // -F
	int force_local;            // -l
	int dry_run;                // -n
	int32_t quality;            // -q
	uint32_t scale;             // -s
	int space_aware;            // --space-aware
	int report;                 // --report
	const char *device;
	const char *root_dir;
};

[[noreturn]] void usage(void);
// Parses argv in order; fatal conditions print their message and exit(1).
void parse_options(int argc, char **argv, defrag_options *opts);
// flex_log from the parsed options: -f takes the superblock's log (given),
// -F the floor of log2 of its count, neither 0. Capped at 31: group numbers are
// 32-bit and every one of them is shifted right by it.
uint32_t options_flex_log(const defrag_options *opts, uint32_t sb_log_groups_per_flex);

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
	int keep_going;             // --keep-going
	int space_aware;            // --space-aware
	int report;                 // --report
	int analyze;                // --analyze
	int json;                   // --json
	int idle;                   // --idle
	double time_limit;          // --time-limit, seconds; 0 when not given
	double max_rate;            // --max-rate, MiB per second; 0 when not given
	const char **paths;         // --path, in command-line order (pointers into argv)
	uint32_t npaths;
	// the option whose value was refused (OPTIONS_BAD_VALUE), and the value
	const char *bad_option;
	const char *bad_value;
	const char *device;
	const char *root_dir;
};

enum options_status {
	OPTIONS_OK = 0,
	OPTIONS_HELP,           // --help
	OPTIONS_VERSION,        // --version
	OPTIONS_USAGE,          // -h, an unknown option or missing argument, -q out of range
	OPTIONS_BAD_CLUSTER,    // -c not a nonzero power of 2
	OPTIONS_BAD_RELOC,      // -C not a nonzero power of 2
	OPTIONS_MISSING_DEVICE, // not exactly two arguments
	OPTIONS_BAD_VALUE,      // a long option's value is not one it takes (bad_option, bad_value)
	OPTIONS_JSON_ALONE,     // --json without --report or --analyze
	OPTIONS_NO_MEMORY,      // the list of --path values cannot grow
};

// Prints what goes with a status: the long help, or the option's message (if
// it has one) and the usage text. A long option's refused value is one line,
// naming the option (bad_option) and the value, without the usage text.
void report_options(enum options_status status, const char *bad_option, const char *bad_value);
// Frees what parse_options allocated (the list of --path values).
void options_free(defrag_options *opts);
// A positive, finite number written out whole (decimal, with an optional
// fraction): the values of --time-limit and --max-rate. 0 for anything else.
double positive_number(const char *text);
// Parses argv in order, from its start whatever was parsed before, and stops
// at the first option that is not accepted. getopt's own diagnostics and the
// -T warning are printed as they come; the rest is the caller's to report.
enum options_status parse_options(int argc, char **argv, defrag_options *opts);
// flex_log from the parsed options: -f takes the superblock's log (given),
// -F the floor of log2 of its count, neither 0. Capped at 31: group numbers are
// 32-bit and every one of them is shifted right by it.
uint32_t options_flex_log(const defrag_options *opts, uint32_t sb_log_groups_per_flex);

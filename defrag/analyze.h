// --analyze: the report's figures, the most fragmented files and a verdict,
// read without changing anything: no donor, no ballast, no move, no commit,
// and the maps read without write-back.
#pragma once
#include "context.h"
#include "report.h"

enum verdict_reason {
	VERDICT_FRAGMENTED_FILES, // worth it: the pieces make reading the data slower
	VERDICT_FREE_SPACE,       // worth it (--space-aware): files whole, free space scattered
	VERDICT_LITTLE,           // not worth it: little fragmentation anywhere
	VERDICT_NO_FILES,         // not worth it: no file with data
	VERDICT_CANNOT_MOVE,      // not possible: the kernel can move none of these files
};

// The thresholds the verdict uses (the manual page says why these). Reading
// a piece of a file beyond its first costs about as long as reading this
// much data (a seek of 8 ms on a disk that reads 128 MiB/s) ...
#define VERDICT_PIECE_COST_KIB 1024
// ... and a run is worth it once the pieces make reading all the data this
// much slower (per cent) ...
#define VERDICT_READ_COST_PCT 10
// ... or, the files being mostly whole, when less than this share of the
// free space (per cent) lies in chunks of at least the cluster size ...
#define VERDICT_FREE_CHUNK_PCT 50
// ... while at least this share of the file system (per cent) is free: with
// less, no run can join much.
#define VERDICT_FREE_PCT 10

struct verdict {
	int worth;                 // a run would be worth it
	enum verdict_reason reason;
	char text[512];            // the reason, as the verdict line says it
};

// The figures the verdict rests on, derived from a report.
struct analysis {
	double fragmented_files_pct; // of the files
	double fragmented_data_pct;  // of the data blocks
	double average_piece_kib;    // in the fragmented files
	double pieces_per_mib;       // pieces of the fragmented files per MiB of their data
	double read_cost_pct;        // the pieces beyond each file's first, at VERDICT_PIECE_COST_KIB
				     // each, against all the data
	double free_chunks_pct;      // of the free space, in chunks >= the cluster size
	double free_pct;             // of the file system
	uint64_t data_kib;
};
void analysis_figures(const struct frag_report *r, uint32_t blocksize_bits, uint64_t total_blocks,
		      struct analysis *a);
// The verdict from the figures. `movable` is 0 when the kernel can move no
// file of this file system (no extents feature, bigalloc, data=journal).
void analysis_verdict(const struct frag_report *r, const struct analysis *a, uint32_t cluster_kib,
		      int movable, const char *why_not, struct verdict *v);

struct analysis_result {
	struct frag_report report;
	struct top_files top;
	struct analysis figures;
	struct verdict verdict;
};
// The whole analysis; printed unless the figures go out as JSON.
void run_analysis(defrag_context *ctx, struct analysis_result *res);

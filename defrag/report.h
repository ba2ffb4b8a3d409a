// Fragmentation figures of the mounted file system, printed before the first
// pass and after the last with --report.
#pragma once
#include "context.h"

struct frag_report {
	uint64_t files;            // regular files with at least one mapped block
	uint64_t fragmented_files; // of them, files in two or more pieces
	uint64_t fragments;        // physically separate pieces, summed over the files
	uint64_t data_blocks;      // blocks mapped by the files
	uint64_t fragmented_blocks; // of them, blocks of fragmented files
	uint64_t fragmented_pieces; // pieces of the fragmented files
	uint64_t block_mapped;     // files mapped block by block (the kernel cannot move them)
	uint64_t journal_data;     // files with the journal-data attribute (nor these)
	int free_known;            // 0 when the kernel would not give its free-space map
	uint64_t free_blocks;
	uint64_t free_extents;
	uint64_t largest_free;   // blocks
	uint64_t free_in_chunks; // blocks in free extents of at least chunk_blocks
};

// Calls fn(arg, start, len) for every free run of the file system mounted at
// mount_fd, in ascending order, in blocks: the kernel's own allocation picture
// (FS_IOC_GETFSMAP), which is current, unlike the bitmaps on the device until
// the journal is checkpointed. 0, or -1 with errno set.
int kernel_free_runs(int mount_fd, uint32_t blocksize_bits,
		     void (*fn)(void *arg, uint64_t start, uint64_t len), void *arg);

// The most fragmented files a walk met, most pieces first.
#define TOP_FILES 10
struct top_file {
	uint64_t pieces;
	uint64_t size; // bytes
	char path[4096];
};
struct top_files {
	uint32_t count;
	struct top_file f[TOP_FILES];
};

// Fills every figure: the files from a walk of the tree or the --path values
// (every map read with write-back first, unless ctx->fiemap_no_sync), the
// free space from the kernel; with `top`, the most fragmented files too. The
// run counters of the summary are left as they were, and the walk is whole
// whatever the time limit.
void collect_report(defrag_context *ctx, struct frag_report *r, struct top_files *top);
void print_report(const defrag_context *ctx, const char *when, const struct frag_report *r);
// --report: commits what the run changed (syncfs), then collects into *r and,
// unless the figures go out as JSON, prints.
void report_now(defrag_context *ctx, const char *when, struct frag_report *r);

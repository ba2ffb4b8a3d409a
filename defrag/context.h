// The run context, the process-wide settings and the records every pass shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <ext2fs/ext2fs.h>
#include "debug.h"

// libext2fs exports its red-black tree but installs no header for it; the
// layout below is the library's own (parent pointer with the colour in bit 0).
extern "C" {
struct rb_node {
	uintptr_t rb_parent_color;
	struct rb_node *rb_right;
	struct rb_node *rb_left;
};
struct rb_root {
	struct rb_node *rb_node;
};
void ext2fs_rb_insert_color(struct rb_node *, struct rb_root *);
void ext2fs_rb_erase(struct rb_node *, struct rb_root *);
struct rb_node *ext2fs_rb_next(struct rb_node *);
struct rb_node *ext2fs_rb_prev(struct rb_node *);
struct rb_node *ext2fs_rb_first(const struct rb_root *);
struct rb_node *ext2fs_rb_last(const struct rb_root *);
}

// Link a new node as a red leaf under parent at *link (the caller then
// rebalances with ext2fs_rb_insert_color).
static inline void rb_link_node(struct rb_node *node, struct rb_node *parent,
				struct rb_node **link)
{
	node->rb_parent_color = (uintptr_t)parent;
	node->rb_left = node->rb_right = nullptr;
	*link = node;
}

template <typename T> static inline T *rb_entry_of(struct rb_node *n)
{
	// every record linked into a tree has its rb_node as first member
	return reinterpret_cast<T *>(n);
}

// Flag set shared by space extents, candidates and group records.
#define SP_FL_FULL 0x01
#define SP_FL_RO_OLD 0x02
#define SP_FL_IEF_RELOC 0x04
#define SP_FL_IGNORE 0x08
#define SP_FL_LOCAL 0x10
#define SP_FL_DIR_LOCAL 0x20
#define SP_FL_CSUM 0x40
#define SP_FL_FMAP 0x80

struct group_info;

struct defrag_context {
	ext2_filsys fs;
	int root_fd;
	struct stat root_st;
	uint32_t blocksize_bits;
	struct file_handle *root_fhandle;
	int mount_id;
	int dry_run;
	struct rb_root spextents;
	struct group_info **groups;
	uint32_t min_frag_blocks;
	int reloc_order;
	int force_local;
	uint32_t flex_log;
	uint32_t cluster_blocks;
	uint32_t reloc_cluster_blocks;
	uint32_t scale;
	uint32_t quality;
	int space_aware; // --space-aware: the planned passes of space_aware.cpp
	int report;      // --report: fragmentation figures before and after
	// what the walk's current step fills in (the space-aware plan, the
	// report's figures): the step itself is called with the context only
	void *walk_arg;
	int analyze;         // --analyze: read only, nothing written anywhere
	int json;            // --json: the figures as one JSON object on standard output
	int fiemap_no_sync;  // maps are read as they are, without write-back first
	int walk_untimed;    // the walk ignores the time limit (the report's figures are whole)
	uint32_t walk_in_named; // the walk is below a directory named with --path
	struct qf_paths *paths; // --path; null for the whole tree
};

// Process-wide settings, set once by the driver (the -d mask: debug.h).
extern int verbose;
extern int show_stats;
extern uint32_t run_uid;
extern struct timeval start_time;
extern uint32_t old_time;
// --keep-going: an entry that vanishes before the walk opens it is skipped
extern int keep_going;

// Opens the file system read-only, as every handle of a run is opened:
// nothing is ever written through the library.
errcode_t open_fs(const char *device, ext2_filsys *fs);

// floor(log2(v)); 0 for v < 2.
uint32_t floor_log2(uint64_t v);

// Number of group slots: one per (flex) group, the last one possibly partial.
uint32_t group_slot_count(const defrag_context *ctx);
// (Flex) group of an inode: ((ino - 1) / inodes per group) >> flex_log, ino as 32 bits.
uint32_t ino_group(const defrag_context *ctx, uint64_t ino);
// (Flex) group of a block.
uint32_t blk_group(const defrag_context *ctx, uint64_t blk);

// Internal invariants, checked in every build type whatever NDEBUG says: a
// broken donor or candidate set must stop the run before a move, not after
// it. The failure line names the invariant by `text` and ends the process
// abnormally.
[[noreturn]] void qf_assert_fail(const char *text, const char *file, int line, const char *function);
#define QF_ASSERT(cond, text)                                                        \
	do {                                                                         \
		if (!(cond))                                                         \
			qf_assert_fail(text, __FILE__, __LINE__, __func__);          \
	} while (0)

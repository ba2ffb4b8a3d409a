// The space-extent tree: one record per run of in-use clusters.
#pragma once
#include "context.h"

struct spextent {
	struct rb_node node;
	uint32_t len;
	uint64_t start;
	uint16_t ex_count;
	uint16_t dir_count;
	uint16_t ro_count;
	uint16_t old_count;
	uint16_t iaf_count;
	uint16_t fnd_blocks;
	uint32_t flags;
};

// In-order walk of the tree: the first record (none for an empty tree) and
// the one after ex (none after the last).
static inline struct spextent *spex_first(struct rb_root *root)
{
	struct rb_node *n = ext2fs_rb_first(root);
	return n ? rb_entry_of<struct spextent>(n) : nullptr;
}

static inline struct spextent *spex_next(struct spextent *ex)
{
	struct rb_node *n = ext2fs_rb_next(&ex->node);
	return n ? rb_entry_of<struct spextent>(n) : nullptr;
}

void insert_spextent(struct rb_root *root, struct spextent *ex);
struct spextent *search_spextent(struct rb_root *root, uint64_t blk);
void check_node(struct spextent *ex, const char *caller);
void check_tree_range(struct spextent *first, struct spextent *last, const char *caller);
void print_spex(const char *prefix, struct spextent *ex);
void print_tree_range(struct spextent *first, struct spextent *last);
void print_tree(struct rb_root *root);

// The space-extent tree: runs of in-use blocks keyed by their first block, on
// libext2fs's red-black tree. Descents are done here on the raw links; the
// library only rebalances and steps in order.
#include <cstdio>
#include <cstdlib>
#include "spextent_tree.h"

static inline struct spextent *node_spex(struct rb_node *n)
{
	return n ? rb_entry_of<struct spextent>(n) : nullptr;
}

static inline struct spextent *spex_prev(struct spextent *ex)
{
	return node_spex(ext2fs_rb_prev(&ex->node));
}

void print_spex(const char *prefix, struct spextent *ex)
{
	printf("%s ex:%p ->[%llu, %u] ex:%d d:%d ro:%d old:%d fnd:%d iaf:%d flags:%x\n", prefix,
	       (void *)ex, (unsigned long long)ex->start, ex->len, ex->ex_count, ex->dir_count,
	       ex->ro_count, ex->old_count, ex->fnd_blocks, ex->iaf_count, ex->flags);
}

void print_tree_range(struct spextent *first, struct spextent *last)
{
	printf("\t\t\t=================================\n");
	for (struct spextent *ex = first; ex; ex = spex_next(ex)) {
		print_spex("\t\t\t", ex);
		if (ex == last)
			break;
	}
	printf("\t\t\t=================================\n");
}

void print_tree(struct rb_root *root)
{
	print_tree_range(spex_first(root), nullptr);
}

static void print_extent_line(const char *what, struct spextent *ex)
{
	printf("%s: %llu -> %llu (%u)\n", what, (unsigned long long)ex->start,
	       (unsigned long long)(ex->start + ex->len), ex->len);
}

// A record on its own: empty or wrapping past the end of the block space.
static const char *check_one(struct spextent *ex)
{
	if (ex->len == 0)
		return "Tree Error: count is zero";
	if (ex->start + ex->len < ex->start)
		return "Tree Error: start or count is crazy";
	return nullptr;
}

[[noreturn]] static void tree_error(const char *err, struct spextent *ex, struct spextent *next,
				    struct spextent *first, struct spextent *last,
				    const char *caller)
{
	printf("%s\n", err);
	print_extent_line("extent", ex);
	if (next)
		print_extent_line("extent next", next);
	printf("%s\n", caller);
	print_tree_range(first, last);
	exit(1);
}

void check_tree_range(struct spextent *first, struct spextent *last, const char *caller)
{
	if (!first)
		return;
	const char *err = check_one(first);
	if (err)
		tree_error(err, first, nullptr, first, last, caller);

	for (struct spextent *cur = first; cur != last;) {
		struct spextent *next = spex_next(cur);
		if (!next)
			return;
		err = check_one(next);
		if (err)
			tree_error(err, next, nullptr, first, last, caller);
		if (next->start < cur->start)
			tree_error("Tree Error: start is crazy", cur, next, first, last, caller);
		if (next->start < cur->start + cur->len)
			tree_error("Tree Error: extent overlap", cur, next, first, last, caller);
		cur = next;
	}
}

void check_node(struct spextent *ex, const char *caller)
{
	struct spextent *prev = spex_prev(ex);
	check_tree_range(prev ? prev : ex, spex_next(ex), caller);
}

void insert_spextent(struct rb_root *root, struct spextent *ex)
{
	struct rb_node **link = &root->rb_node;
	struct rb_node *parent = nullptr;

	while (*link) {
		struct spextent *cur = node_spex(*link);
		parent = *link;
		if (ex->start < cur->start) {
			link = &(*link)->rb_left;
		} else if (ex->start < cur->start + cur->len) {
			fprintf(stderr, "Collision want insert:[%llu,%d], exist [%llu, %d]\n",
				(unsigned long long)ex->start, (int)ex->len,
				(unsigned long long)cur->start, (int)cur->len);
			print_tree(root);
			exit(1);
		} else {
			link = &(*link)->rb_right;
		}
	}
	rb_link_node(&ex->node, parent, link);
	ext2fs_rb_insert_color(&ex->node, root);
	// a run that begins before an existing one but reaches into it slips
	// through the descent; the neighbourhood check catches it
	check_node(ex, "insert_spextent");
}

struct spextent *search_spextent(struct rb_root *root, uint64_t blk)
{
	struct rb_node *n = root->rb_node;

	while (n) {
		struct spextent *cur = node_spex(n);
		if (blk < cur->start) {
			n = n->rb_left;
		} else if (blk < cur->start + cur->len) {
			check_node(cur, "search_spextent");
			return cur;
		} else {
			n = n->rb_right;
		}
	}
	return nullptr;
}

// The space-aware plan: the files a run may move, the sparse windows, and
// every decision of the mode that needs no request to the kernel (what a
// file is worth, whether a move keeps to the limits, whether a donor fits,
// the order of the moves). The moves themselves are space_moves.cpp's.
#pragma once
#include "context.h"
#include "donors.h"
#include "extent_map.h"
#include "space_picture.h"

// One file the run may move, reached again by its handle and checked against
// the checksum of its identity and map taken when it was planned.
struct sa_file {
	uint32_t ino;    // ext4 inode numbers are 32 bits
	uint32_t blocks; // end-of-file block: what the move takes
	uint32_t csum;
	uint32_t handle; // offset of its handle bytes in the plan's store
	uint32_t piece;  // its first piece in the plan's store, ascending
	uint32_t window; // the sparse window it has blocks in, or SA_NO_WINDOW
	uint16_t pieces; // pieces stored (physically separate runs)
	uint16_t frag;   // pieces in file order, as the report counts them
	uint8_t flags;
	uint8_t meta;    // extent-tree blocks, freed once its extents fit in its inode
	float score;
};
#define SA_NO_WINDOW 0xffffffffu
#define SA_DEFRAG 0x01 // fragmented: moving it gains pieces
#define SA_SPARE 0x02  // contiguous: moving it may merge free runs
#define SA_DONE 0x04   // no move of its own is tried again (see SA_FINAL)
#define SA_HELD 0x08   // could not be paid for in this round
#define SA_TRIED 0x10  // its donors were refused once
#define SA_NAMED 0x20  // named with --path: moved in ranges, whatever it costs the free space
#define SA_FINAL 0x40  // moved, or gone, or changed since planned: never again, not in a unit either
#define SA_TREE 0x80   // its `meta` extent-tree blocks follow its pieces in the store

// A window of cluster blocks that holds little data, all of it in files this
// run may move: emptying it frees a whole cluster.
struct sa_window {
	uint64_t start;
	uint32_t used;        // blocks in use
	uint32_t file_blocks; // of them, blocks of planned files
	uint32_t cost;        // sizes of the files with blocks here: what emptying moves
	uint8_t chosen;       // worth emptying, and not yet emptied or given up
};

// The plan's files, pieces and handles take at most about this many bytes: a
// larger tree is planned and moved in batches, one after another as the walk
// goes.
#define SA_BATCH_BYTES (24u << 20)

struct sa_plan {
	struct sa_picture pic;
	// the limits every move keeps to: fewer free extents than at the start,
	// and a share of the free space in large runs no lower than then
	uint64_t max_extents, large0, free0, extents0;
	// blocks the kernel freed that the picture does not show (extent-tree
	// blocks of files that became contiguous); they count in the share
	int64_t unlocated;
	struct sa_file *files;
	uint32_t nfiles, cap_files;
	sa_piece *pieces;
	uint32_t npieces, cap_pieces;
	unsigned char *handles;
	uint32_t handles_used, handles_cap;
	struct sa_window *windows; // ascending start
	uint32_t nwindows, cap_windows;
	uint32_t *order; // files of the current round, best first
	uint8_t one_piece; // a fragmented file's donor must be one piece
	// blocks in a page: the kernel moves a file's range only to a donor
	// offset that agrees with it within a page, so files sharing a donor
	// start on page boundaries (0 is taken as 1)
	uint32_t page_blocks;
	int *dir_fds;    // per (flex) group: a directory donors are made in, or -1
	int *ballast;    // unnamed files holding large free runs meanwhile
	uint32_t nballast;
	uint64_t donor_tries, donors_accepted, commits;
	uint64_t pending; // blocks freed since the last commit
	uint32_t moves_since_commit, refused_since_commit;
	uint64_t moved_blocks, spare_moves, windows_emptied;
	// the picture could not be read again or a commit failed: no move can
	// be judged, the mode stops
	uint8_t broken;
	uint64_t units, unit_files, rereads, batches;
	// the best spare file as of picture version spare_version - 1 (0: none
	// known), nfiles when there was none: asked again and again while the
	// picture stays as it is
	uint64_t spare_version;
	uint32_t spare_best;
};

// ---- the files and the windows ---------------------------------------------

// The file's physically separate pieces (touching extents joined, none longer
// than a piece can say), ascending, appended to the plan's store; f->piece and
// f->pieces say where. -1 when a block lies beyond what a piece can hold, the
// store cannot grow, or the pieces are more than a file may have: the store
// is then left with what was appended (the caller cuts it back).
int sa_store_pieces(struct sa_plan *plan, const struct fmap *map, struct sa_file *f);
// Windows of `cluster` blocks with at least one and at most cluster / 4 blocks
// in use, from the picture; `total` is the file system's size in blocks.
int sa_sparse_windows(struct sa_plan *plan, uint32_t cluster, uint64_t total);
// The tree blocks (one block each) of a file with `meta` of them appended
// after its pieces, where every one is in use in the picture and none is a
// piece of the file: SA_TREE is then set. Otherwise (or without memory) the
// file's tree stays blocks the picture cannot place.
// Tree blocks of a file the plan places at most; a larger tree stays unseen.
#define SA_TREE_MAX 16
void sa_store_tree(struct sa_plan *plan, struct sa_file *f, const uint64_t *blocks, uint32_t n);
// The blocks moving the file frees, pieces and tree blocks ascending, into
// `out` (room for f->pieces + f->meta); their number.
uint32_t sa_freed_pieces(const struct sa_plan *plan, const struct sa_file *f, sa_piece *out);
// What freeing them does to the picture; the tree blocks the plan cannot
// place are unseen.
struct sa_delta sa_file_delta(const struct sa_plan *plan, const struct sa_file *f);
// Index of the sparse window holding blk, or SA_NO_WINDOW.
uint32_t sa_window_of(const struct sa_plan *plan, uint64_t blk, uint32_t cluster);
// The first sparse window the file has blocks in. With `credit`, its blocks
// are added to every window they lie in, and its size, once per window, to
// what emptying that window moves.
uint32_t sa_file_windows(struct sa_plan *plan, const struct sa_file *f, uint32_t cluster,
			 int credit);
// What the run may do with a file, from its map: SA_DEFRAG, SA_SPARE or 0.
uint8_t sa_file_kind(const struct sa_file *f, uint32_t cluster);
// A window is worth emptying when every block in use there is a planned
// file's and those files add up to at most one window: marks them chosen.
void sa_choose_windows(struct sa_plan *plan, uint32_t cluster);
// Windows the donor's space lies in are filled again: no use emptying them.
void sa_unchoose_windows(struct sa_plan *plan, const struct donor *d, uint32_t cluster);

// ---- the limits -------------------------------------------------------------

// The blocks large runs must hold to keep the share they had at the start of
// free space that grows by `unseen` blocks.
double sa_share_floor(const struct sa_plan *plan, int64_t unseen);
// The fewest blocks large runs may hold: the share they had at the start, of
// the free space there is now, and one large run to spare for what the plan
// cannot see (extent-tree blocks the kernel allocates on its own).
double sa_large_floor(const struct sa_plan *plan);
// The most free extents there may be: fewer than at the start, even should
// every block freed where the plan cannot see it be a free extent of its own.
int64_t sa_extents_ceiling(const struct sa_plan *plan);
// Blocks freed unseen after which a move short of room reads the picture
// again rather than pay for what they may not cost.
#define SA_UNLOCATED_LOOK 16
// A change keeps to the limits when it adds no free extent or stays within
// the most there may be, and when the large runs stay above their floor or
// gain at least their share of the blocks it frees unseen (the free space
// grows by those, so the share of large runs would fall without).
int sa_keeps_limits(const struct sa_plan *plan, int64_t extents_before, int64_t extents_after,
		    int64_t large_before, int64_t large_after, int64_t unseen);
// Whether the picture changed by d keeps to the limits.
int sa_within_limits(const struct sa_plan *plan, struct sa_delta d);
// Whether a change by `need` leaves the large runs short of their floor (it
// is then paid for by emptying windows rather than by moving spare files).
int sa_short_of_large(const struct sa_plan *plan, struct sa_delta need);

// ---- judging a move ---------------------------------------------------------

// What a move of the file is expected to do before its donor exists: its
// pieces freed, and a large file takes its size out of some large run; its
// extent-tree blocks are freed unseen, each counted as a free extent.
struct sa_delta sa_predicted(const struct sa_plan *plan, const struct sa_file *f);
// Physically separate pieces of the map's first `blocks` blocks.
uint32_t sa_pieces_below(const struct fmap *map, uint64_t blocks);
// Whether the move is worth making now that the donor has landed (its
// blocks already out of the picture; `before` is the picture's figures
// without it): the free space must stay within the limits, a fragmented file
// must end in fewer pieces (in one with plan->one_piece), a contiguous one in
// one piece, and its leaving must merge free runs or empty its window.
int sa_donor_fits(const struct sa_plan *plan, const struct sa_file *f, const struct donor *d,
		  struct sa_delta before, uint32_t cluster);
// Fixed cost of a move, in blocks: the requests around it (reopen, maps,
// donor) take about as long as moving this many blocks.
#define SA_MOVE_COST 16
// What a move is worth per block it moves, given what freeing the file's old
// pieces does to the picture (where the donor lands is not known before).
float sa_score(const struct sa_file *f, struct sa_delta d, uint64_t large);
// The files the `want` flags pick of [min_blocks, max_blocks) blocks that are
// neither done nor held nor flagged `skip`, best first (equal scores by inode),
// into plan->order; their number.
uint32_t sa_rank(struct sa_plan *plan, uint8_t want, uint8_t skip, uint32_t min_blocks,
		 uint32_t max_blocks);
// The contiguous file not done (nor `skip`) whose moving merges the most free
// runs per block moved, or nullptr when moving none merges any.
struct sa_file *sa_best_spare(const struct sa_plan *plan, const struct sa_file *skip);
// The chosen window that costs least to empty, or SA_NO_WINDOW.
uint32_t sa_cheapest_window(const struct sa_plan *plan);

// ---- units ------------------------------------------------------------------

// Files whose pieces lie between each other's free as one run only once all
// of them have moved: alone, each move would add free extents. Such files
// are moved as a unit, and the limits are judged for the unit as a whole.

// The files not done, fragmented and small contiguous ones (a region frees
// whole only once every file in it has moved), in the order of their first
// block, into plan->order; their number.
uint32_t sa_sweep_order(struct sa_plan *plan);
// The blocks a file of `blocks` blocks takes on a shared donor: up to the
// next page boundary, where the next file starts.
uint64_t sa_padded(const struct sa_plan *plan, uint64_t blocks);
// Whether moving files that free `freed` and take `blocks` blocks of donors
// keeps to the limits; the donors are taken to come out of large runs.
int sa_unit_keeps_limits(const struct sa_plan *plan, struct sa_delta freed, uint64_t blocks);
// The work spent looking for units, in pieces looked at per piece planned:
// a file that is in no unit is looked at with every file after it.
#define SA_UNIT_WORK_PER_PIECE 4
// Separate runs a unit being formed may leave at most (some 16 MiB): a unit
// that would leave more is not formed.
#define SA_UNIT_CHAINS (1u << 18)
// Whether moving every file of plan->order[i, end) not done keeps to the
// limits, judged against the picture as it was (`before`) when the unit
// started: donors and moves since are in the picture already, and the files
// from `placed` on have no donor yet (theirs are taken to come out of large
// runs). `slack` free extents more are let pass.
int sa_rest_keeps_limits_from(const struct sa_plan *plan, uint32_t i, uint32_t placed,
			      uint32_t end, struct sa_delta before, int64_t slack);
// The unit that starts at plan->order[i]: the files from there on (those
// done skipped) until moving them all keeps to the limits. The index past its
// last file, or i when none closes. `work` counts the pieces looked at.
uint32_t sa_unit_from(const struct sa_plan *plan, uint32_t n, uint32_t i, uint64_t *work);

// Keeps the files of a batch that no move took (none moved, gone or
// changed) for the next batch, as long as they take at most `bytes` with
// handles of `hb` bytes: the files whose pieces lie between theirs may come
// with the next. Their windows are to be found again. Their number.
uint32_t sa_keep_unmoved(struct sa_plan *plan, uint64_t bytes, uint32_t hb);

void sa_plan_free(struct sa_plan *plan);

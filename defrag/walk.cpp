// Placeholder until this concern is built.
#include "walk.h"

int walk_subtree(defrag_context *, int, scan_inode_fn) { return 0; }

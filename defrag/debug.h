// The bits of -d: which debug traces a run prints. Unknown bits are ignored.
#pragma once
#include <cstdint>

#define QF_DBG_MOVES 0x01    // donor files and extent moves
#define QF_DBG_DETAIL 0x02   // per-file detail and notices of skipped items
#define QF_DBG_TREE 0x08     // dumps of the space-extent tree and the window ratings
#define QF_DBG_DIRCACHE 0x10 // directory cache and donor creation
#define QF_DBG_EXTMAP 0x20   // extent-map reading
#define QF_DBG_GROUPS 0x40   // one line per block group in Pass1

// The -d mask, set once by the driver.
extern uint32_t debug_flags;

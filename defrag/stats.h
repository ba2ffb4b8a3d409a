// Run counters and the end-of-run summary.
#pragma once
#include <cstdint>

extern unsigned long long total_spextents;
extern unsigned long long scanned_inodes;
extern unsigned long long scanned_dirs;
extern unsigned long long scanned_files;
extern unsigned long long scanned_extents;
extern unsigned long long scanned_blocks;
extern unsigned long long ief_candidates;
extern unsigned long long ief_candidate_blocks;
extern unsigned long long iaf_inodes;
extern unsigned long long iaf_blocks;
extern unsigned long long ief_done_inodes;
extern unsigned long long ief_done_blocks;
extern unsigned long long vanished_entries;
// regular files the kernel cannot move, skipped: mapped block by block, or
// with the journal-data attribute
extern unsigned long long unmovable_block_mapped;
extern unsigned long long unmovable_journal_data;

// the space-aware mode ran: the summary says how many blocks the run moved
extern int space_aware_summary;

void df_show_stats(void);

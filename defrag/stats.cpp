#include <cstdio>
#include "stats.h"
#include "context.h"

unsigned long long total_spextents;
unsigned long long scanned_inodes;
unsigned long long scanned_dirs;
unsigned long long scanned_files;
unsigned long long scanned_extents;
unsigned long long scanned_blocks;
unsigned long long ief_candidates;
unsigned long long ief_candidate_blocks;
unsigned long long iaf_inodes;
unsigned long long iaf_blocks;
unsigned long long ief_done_inodes;
unsigned long long ief_done_blocks;
unsigned long long vanished_entries;
unsigned long long unmovable_block_mapped;
unsigned long long unmovable_journal_data;
int space_aware_summary;

void df_show_stats(void)
{
	printf("Inodes  scanned:\t\t%llu \n", scanned_inodes);
	printf("Directories  scanned:\t\t%llu \n", scanned_dirs);
	printf("Files  scanned:\t\t\t%llu \n", scanned_files);
	printf("Extents scanned:\t\t%llu \n", scanned_extents);
	printf("Blocks scanned:\t\t\t%llu \n", scanned_blocks);
	printf("IAF inoded defragmented:\t\t%llu \n", iaf_inodes);
	printf("IAF blocks defragmented:\t\t%llu \n", iaf_blocks);
	printf("IEF inoded defragmented:\t\t%llu \n", ief_done_inodes);
	printf("IEF blocks defragmented:\t\t%llu \n", ief_done_blocks);
	// what the run made the device write, whatever the move was for
	if (space_aware_summary)
		printf("Blocks moved:\t\t\t%llu \n", iaf_blocks + ief_done_blocks);
	printf("Total extents:\t\t\t%llu \n", total_spextents);
	// the estimate assumes 64 bytes per record (see bench/README.md for the measured cost)
	printf("Total extents mem consumption:\t%llu Kb\n", (total_spextents * 64) >> 10);
	if (keep_going)
		printf("Entries vanished:\t\t%llu \n", vanished_entries);
	// only when there are some: the summary of a file system the kernel can
	// move every file of stays as it always was
	if (unmovable_block_mapped || unmovable_journal_data)
		printf("Files not movable:\t\t%llu (%llu mapped block by block, %llu with "
		       "journalled data: the kernel moves neither) \n",
		       unmovable_block_mapped + unmovable_journal_data, unmovable_block_mapped,
		       unmovable_journal_data);
}

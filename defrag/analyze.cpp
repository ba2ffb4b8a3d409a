// --analyze: whether a run would be worth it, from figures read without
// changing anything.
//
// The verdict models what fragmentation costs: each piece of a file beyond
// its first is one more seek (on a disk) or request (on flash) when the file
// is read. Counted at the time of reading VERDICT_PIECE_COST_KIB of data, the
// pieces are set against all the data; past VERDICT_READ_COST_PCT a run pays.
// Otherwise a file system whose free space is mostly in small holes still
// gains from the space-aware mode, as long as enough of it is free.
#include <cstdio>
#include <cstring>
#include "analyze.h"
#include "movable.h"

static double pct(double part, double whole)
{
	return whole > 0 ? 100.0 * part / whole : 0.0;
}

void analysis_figures(const struct frag_report *r, uint32_t blocksize_bits, uint64_t total_blocks,
		      struct analysis *a)
{
	double kib_per_block = (double)(1ULL << blocksize_bits) / 1024.0;
	double frag_kib = (double)r->fragmented_blocks * kib_per_block;
	memset(a, 0, sizeof(*a));
	a->data_kib = (uint64_t)((double)r->data_blocks * kib_per_block);
	a->fragmented_files_pct = pct((double)r->fragmented_files, (double)r->files);
	a->fragmented_data_pct = pct((double)r->fragmented_blocks, (double)r->data_blocks);
	if (r->fragmented_pieces) {
		a->average_piece_kib = frag_kib / (double)r->fragmented_pieces;
		a->pieces_per_mib = frag_kib > 0 ? (double)r->fragmented_pieces * 1024.0 / frag_kib : 0;
	}
	double extra = r->fragments > r->files ? (double)(r->fragments - r->files) : 0;
	a->read_cost_pct = pct(extra * VERDICT_PIECE_COST_KIB, (double)a->data_kib);
	if (r->free_known) {
		a->free_chunks_pct = pct((double)r->free_in_chunks, (double)r->free_blocks);
		a->free_pct = pct((double)r->free_blocks, (double)total_blocks);
	}
}

void analysis_verdict(const struct frag_report *r, const struct analysis *a, uint32_t cluster_kib,
		      int movable, const char *why_not, struct verdict *v)
{
	char frag[256];
	snprintf(frag, sizeof(frag),
		 "%llu of %llu files (%.1f %%) are fragmented and hold %.1f %% of the data",
		 (unsigned long long)r->fragmented_files, (unsigned long long)r->files,
		 a->fragmented_files_pct, a->fragmented_data_pct);

	v->worth = 0;
	if (!movable) {
		v->reason = VERDICT_CANNOT_MOVE;
		snprintf(v->text, sizeof(v->text), "a run cannot change anything: %s", why_not);
	} else if (!r->files) {
		v->reason = VERDICT_NO_FILES;
		snprintf(v->text, sizeof(v->text), "no run needed: no file holds data");
	} else if (a->read_cost_pct >= VERDICT_READ_COST_PCT) {
		v->worth = 1;
		v->reason = VERDICT_FRAGMENTED_FILES;
		snprintf(v->text, sizeof(v->text),
			 "a run is worth it: %s, in pieces of %.0f KiB on average; reading the data "
			 "takes about %.0f %% longer than it would whole; recommended: --space-aware",
			 frag, a->average_piece_kib, a->read_cost_pct);
	} else if (r->free_known && a->free_pct >= VERDICT_FREE_PCT &&
		   a->free_chunks_pct < VERDICT_FREE_CHUNK_PCT) {
		v->worth = 1;
		v->reason = VERDICT_FREE_SPACE;
		snprintf(v->text, sizeof(v->text),
			 "a run of --space-aware is worth it: the files are mostly whole (%s), but "
			 "only %.1f %% of the free space lies in chunks of %u KiB or more",
			 frag, a->free_chunks_pct, cluster_kib);
	} else {
		v->reason = VERDICT_LITTLE;
		int n = snprintf(v->text, sizeof(v->text),
				 "no run needed: %s; reading the data takes about %.1f %% longer than "
				 "it would whole",
				 frag, a->read_cost_pct);
		if (r->free_known && n > 0 && (size_t)n < sizeof(v->text))
			snprintf(v->text + n, sizeof(v->text) - (size_t)n,
				 "; %.1f %% of the free space lies in chunks of %u KiB or more",
				 a->free_chunks_pct, cluster_kib);
	}
}

static void print_analysis(const defrag_context *ctx, const struct analysis_result *res)
{
	const struct analysis *a = &res->figures;
	print_report(ctx, "now", &res->report);
	printf("Analysis:\n");
	printf("\tdata in files:\t\t\t%llu KiB\n", (unsigned long long)a->data_kib);
	printf("\tdata in fragmented files:\t%.2f %%\n", a->fragmented_data_pct);
	printf("\tpieces of fragmented files:\t%.0f KiB on average, %.2f per MiB\n",
	       a->average_piece_kib, a->pieces_per_mib);
	printf("\tread time the pieces add:\t%.1f %%\n", a->read_cost_pct);
	printf("Most fragmented files (pieces, size in KiB, path):\n");
	for (uint32_t i = 0; i < res->top.count; i++) {
		const struct top_file *t = &res->top.f[i];
		printf("\t%llu\t%llu\t%s\n", (unsigned long long)t->pieces,
		       (unsigned long long)((t->size + 1023) / 1024), t->path);
	}
	printf("Verdict: %s\n", res->verdict.text);
}

void run_analysis(defrag_context *ctx, struct analysis_result *res)
{
	uint32_t cluster_kib = (uint32_t)(((uint64_t)ctx->cluster_blocks << ctx->blocksize_bits) >> 10);
	const char *why_not = nullptr;

	memset(res, 0, sizeof(*res));
	collect_report(ctx, &res->report, &res->top);
	analysis_figures(&res->report, ctx->blocksize_bits, ext2fs_blocks_count(ctx->fs->super),
			 &res->figures);
	if (!ext2fs_has_feature_extents(ctx->fs->super))
		why_not = "the file system has no extents feature, and the kernel moves no file "
			  "mapped block by block";
	else if (ext2fs_has_feature_bigalloc(ctx->fs->super))
		why_not = "it allocates blocks in clusters (bigalloc), and the kernel moves no "
			  "extent on such a file system";
	else if (mount_data_journal(ctx->mount_id))
		why_not = "it is mounted with data=journal, and the kernel moves no file whose "
			  "data is journalled";
	else if (res->report.files &&
		 res->report.block_mapped + res->report.journal_data == res->report.files)
		why_not = "every file is mapped block by block or has its data journalled, which "
			  "the kernel cannot move";
	analysis_verdict(&res->report, &res->figures, cluster_kib, why_not == nullptr, why_not,
			 &res->verdict);
	if (!ctx->json)
		print_analysis(ctx, res);
}

// --json: one object on standard output, for monitoring to read. Every
// figure is the one the text form prints (percentages to two places, sizes
// in KiB where the text gives KiB), so the two can be compared; a figure the
// run could not know is null.
#include <cstring>
#include "json_out.h"
#include "paths.h"
#include "run_limits.h"
#include "stats.h"

// Bytes of one UTF-8 sequence starting at s, or 0 when it is not one.
static int utf8_len(const unsigned char *s)
{
	int n = s[0] >= 0xf0 && s[0] <= 0xf4 ? 4 : s[0] >= 0xe0 ? 3 : s[0] >= 0xc2 ? 2 : 0;
	if (s[0] >= 0xf8)
		return 0;
	for (int i = 1; i < n; i++)
		if ((s[i] & 0xc0) != 0x80)
			return 0;
	return n;
}

void json_string(FILE *f, const char *text)
{
	const unsigned char *s = (const unsigned char *)text;
	fputc('"', f);
	while (*s) {
		if (*s == '"' || *s == '\\') {
			fprintf(f, "\\%c", *s++);
		} else if (*s < 0x20 || *s == 0x7f) {
			fprintf(f, "\\u%04x", *s++);
		} else if (*s < 0x80) {
			fputc(*s++, f);
		} else {
			int n = utf8_len(s);
			if (n) {
				fwrite(s, 1, (size_t)n, f);
				s += n;
			} else {
				fprintf(f, "\\u%04x", *s++);
			}
		}
	}
	fputc('"', f);
}

static void json_report(FILE *f, const defrag_context *ctx, const char *key,
			const struct frag_report *r)
{
	unsigned long long kib = (1ULL << ctx->blocksize_bits) >> 10;
	fprintf(f, ",\"%s\":{\"files\":%llu,\"fragmented_files\":%llu,\"file_fragments\":%llu,",
		key, (unsigned long long)r->files, (unsigned long long)r->fragmented_files,
		(unsigned long long)r->fragments);
	fprintf(f, "\"data_blocks\":%llu,\"fragmented_data_blocks\":%llu,",
		(unsigned long long)r->data_blocks, (unsigned long long)r->fragmented_blocks);
	fprintf(f, "\"files_not_movable\":%llu,\"block_mapped_files\":%llu,\"journal_data_files\":%llu,",
		(unsigned long long)(r->block_mapped + r->journal_data),
		(unsigned long long)r->block_mapped, (unsigned long long)r->journal_data);
	fprintf(f, "\"free_chunk_kib\":%llu,", (unsigned long long)ctx->cluster_blocks * kib);
	if (!r->free_known) {
		fprintf(f, "\"free_blocks\":null,\"free_extents\":null,"
			   "\"largest_free_extent_kib\":null,\"free_in_chunks_pct\":null}");
		return;
	}
	fprintf(f, "\"free_blocks\":%llu,\"free_extents\":%llu,\"largest_free_extent_kib\":%llu,",
		(unsigned long long)r->free_blocks, (unsigned long long)r->free_extents,
		(unsigned long long)r->largest_free * kib);
	fprintf(f, "\"free_in_chunks_pct\":%.2f}",
		r->free_blocks ? 100.0 * (double)r->free_in_chunks / (double)r->free_blocks : 0.0);
}

static const char *const reason_names[] = {"fragmented_files", "free_space", "little_fragmentation",
					   "no_files", "cannot_move"};

static void json_analysis(FILE *f, const defrag_context *ctx, const struct analysis_result *a)
{
	const struct analysis *x = &a->figures;
	json_report(f, ctx, "now", &a->report);
	fprintf(f, ",\"analysis\":{\"data_kib\":%llu,\"fragmented_files_pct\":%.2f,"
		   "\"fragmented_data_pct\":%.2f,\"average_piece_kib\":%.0f,\"pieces_per_mib\":%.2f,"
		   "\"read_cost_pct\":%.1f}",
		(unsigned long long)x->data_kib, x->fragmented_files_pct, x->fragmented_data_pct,
		x->average_piece_kib, x->pieces_per_mib, x->read_cost_pct);
	fprintf(f, ",\"most_fragmented\":[");
	for (uint32_t i = 0; i < a->top.count; i++) {
		const struct top_file *t = &a->top.f[i];
		fprintf(f, "%s{\"path\":", i ? "," : "");
		json_string(f, t->path);
		fprintf(f, ",\"size\":%llu,\"pieces\":%llu}", (unsigned long long)t->size,
			(unsigned long long)t->pieces);
	}
	fprintf(f, "],\"verdict\":{\"worth_running\":%s,\"reason\":\"%s\",\"text\":",
		a->verdict.worth ? "true" : "false", reason_names[a->verdict.reason]);
	json_string(f, a->verdict.text);
	fprintf(f, "}");
}

void print_json(FILE *f, const defrag_context *ctx, const struct json_run *j)
{
	const char *mode = ctx->analyze ? "analyze" : ctx->space_aware ? "space-aware" : "default";
	fprintf(f, "{\"device\":");
	json_string(f, j->device);
	fprintf(f, ",\"mount\":");
	json_string(f, j->mount);
	fprintf(f, ",\"mode\":\"%s\",\"dry_run\":%s,\"block_size\":%llu,\"paths\":[", mode,
		ctx->dry_run ? "true" : "false", 1ULL << ctx->blocksize_bits);
	for (uint32_t i = 0; ctx->paths && i < ctx->paths->n; i++) {
		if (i)
			fputc(',', f);
		json_string(f, ctx->paths->v[i].resolved);
	}
	fputc(']', f);
	if (j->analysis) {
		json_analysis(f, ctx, j->analysis);
	} else {
		if (j->before)
			json_report(f, ctx, "before", j->before);
		if (j->after)
			json_report(f, ctx, "after", j->after);
		fprintf(f, ",\"run\":{\"files_defragmented\":%llu,\"blocks_defragmented\":%llu,"
			   "\"files_relocated\":%llu,\"blocks_relocated\":%llu,",
			iaf_inodes, iaf_blocks, ief_done_inodes, ief_done_blocks);
		fprintf(f, "\"files_not_movable\":%llu,\"block_mapped_files\":%llu,"
			   "\"journal_data_files\":%llu,",
			unmovable_block_mapped + unmovable_journal_data, unmovable_block_mapped,
			unmovable_journal_data);
		fprintf(f, "\"time_limit_reached\":%s,\"seconds\":%.2f,\"exit_status\":%d}",
			run_time_was_up() ? "true" : "false", run_seconds(), j->status);
	}
	fprintf(f, "}\n");
}

// --json: the figures of a report or an analysis as one JSON object, with
// stable field names and numbers as numbers (the manual page lists them).
#pragma once
#include <cstdio>
#include "analyze.h"
#include "report.h"

struct json_run {
	const char *device;
	const char *mount;
	const struct frag_report *before; // --report: null when none
	const struct frag_report *after;
	const struct analysis_result *analysis; // --analyze
	int status;                             // the run's exit status
};

// Writes the object and a line end to f.
void print_json(FILE *f, const defrag_context *ctx, const struct json_run *j);
// A JSON string for text: quotes, backslashes and control characters
// escaped, bytes that are not UTF-8 written as \u00XX.
void json_string(FILE *f, const char *text);

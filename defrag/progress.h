// --progress: one line on the terminal that says how far the long passes are.
//
// The passes only report events through the hooks below (a file handed to a
// pass step, a group done, blocks moved); the line is drawn on standard error
// at most every PROGRESS_REDRAW_MS, and only when standard error is a
// terminal. Every other line the program writes to that terminal first
// erases it, so the two never share a line.
#pragma once
#include <cstdint>

// Set by --progress.
extern int progress_requested;

// Starts the line when it was asked for and standard error is a terminal;
// blocksize_bits turns moved blocks into bytes.
void progress_start(uint32_t blocksize_bits);
// A new pass: its name heads the line, with the groups it will work through
// (0 for a walk). The files walked in the last pass that walked become the
// total the next walk counts against.
void progress_pass(const char *name, uint64_t groups_total);
// The directory walk handed one more entry to the pass step.
void progress_file(void);
// One of the pass's groups is done.
void progress_group(void);
// An extent move exchanged this many blocks.
void progress_moved(uint64_t blocks);
// Erases the line and gives the standard streams back; also run at exit.
void progress_end(void);

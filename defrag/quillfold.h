// Everything the defragmenter's passes declare, for the driver and the tests.
#pragma once
#include "context.h"
#include "stats.h"
#include "options.h"
#include "setup.h"
#include "spextent_tree.h"
#include "bitmap_scan.h"
#include "walk.h"
#include "extent_map.h"
#include "pass2.h"
#include "cluster_rating.h"
#include "groups.h"
#include "donors.h"
#include "moves.h"
#include "pass3.h"
#include "candidates.h"
#include "pass4.h"
#include "syscalls.h"
#include "progress.h"
#include "report.h"
#include "space_aware.h"

// Runs the whole program; returns the exit status (fatal paths exit(1) themselves).
int quillfold_main(int argc, char **argv);
// The run context of the current process (reachable from a global, so a fatal
// exit leaves no leak behind).
extern defrag_context g_ctx;

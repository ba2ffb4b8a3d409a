// Setup of a run: everything before Pass1, from the command line to the group
// slots. It never ends the process and prints no failure of its own; it says
// which step failed, and the driver prints that step's message and exits.
#pragma once
#include "context.h"
#include "options.h"

enum setup_status {
	SETUP_OK = 0,
	SETUP_OPTIONS,       // the command line was not accepted (see `options`)
	SETUP_ROOT_OPEN,     // root_dir cannot be opened as a directory
	SETUP_ROOT_FSTAT,    // nor its status read
	SETUP_DEVICE_STAT,   // the device's status cannot be read
	SETUP_NOT_BLOCK,     // the device is no block device
	SETUP_WRONG_DEVICE,  // nor the one mounted at root_dir
	SETUP_FS_OPEN,       // the file system cannot be opened
	SETUP_SMALL_CLUSTER, // the cluster is smaller than a block
	SETUP_NO_MEMORY,     // the root handle or the group slots
	SETUP_ROOT_HANDLE,   // the root handle cannot be taken
	SETUP_READ_ONLY,     // nothing can be moved: a read-only mount,
	SETUP_NO_PRIVILEGE,  // no privilege to open by handle,
	SETUP_HANDLE_OPEN,   // or opening by handle fails otherwise
	SETUP_BAD_PATH,      // a --path value was refused (bad_value, path)
	SETUP_NO_EXTENTS,    // nothing can be moved: no extents feature,
	SETUP_BIGALLOC,      // blocks allocated in clusters,
	SETUP_DATA_JOURNAL,  // or the mount journals file data
	SETUP_IDLE,          // --idle: the priority cannot be lowered
};

// How setup ended, and what the message of a failure needs. device and
// root_dir are the command line's, also after a success.
struct setup_result {
	enum setup_status status;
	enum options_status options; // with SETUP_OPTIONS
	int err;                     // errno of the failing call
	errcode_t code;              // libext2fs's error code
	const char *device;
	const char *root_dir;
	// a refused long option (SETUP_OPTIONS) or --path value (SETUP_BAD_PATH)
	const char *bad_option;
	const char *bad_value;
	int path; // enum path_status of the refused --path
};

// Zeroes the process-wide settings and run counters, as at program start.
void reset_run_state(void);
// Everything a run does before Pass1: zeroes the context and the process-wide state,
// parses argv and fills ctx. SETUP_OK when the passes can start; otherwise
// *result says why.
enum setup_status setup_run(defrag_context *ctx, int argc, char **argv,
			    struct setup_result *result);
// Prints the message of a failed setup on its stream (for --help, the long
// help); returns the exit status that goes with it.
int report_setup_failure(const struct setup_result *result);

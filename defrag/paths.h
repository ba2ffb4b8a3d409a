// --path: the files and directories a run is limited to. Each is resolved at
// setup (links followed) and must be a regular file or a directory on the
// file system mounted at root_dir, reached through that mount.
#pragma once
#include "context.h"
#include "walk.h"

struct qf_path {
	char *resolved;   // the absolute path, links resolved
	char *parent;     // the directory that holds it
	const char *base; // its name there (inside `resolved`)
	uint64_t ino;
	int is_dir;
	int covered; // below another named directory: walked there
};

struct qf_paths {
	struct qf_path *v;
	uint32_t n;
	uint64_t *dirs; // inode numbers of the named directories, ascending
	uint32_t ndirs;
	uint64_t *files; // of the named regular files, ascending
	uint32_t nfiles;
};

enum path_status {
	PATH_OK = 0,
	PATH_MISSING,     // it cannot be resolved or opened (err says why)
	PATH_OTHER_FS,    // not on root_dir's file system
	PATH_OTHER_MOUNT, // on it, but not through the mount at root_dir
	PATH_NOT_FILE,    // neither a regular file nor a directory
	PATH_BLOCK_MAPPED, // a file the kernel cannot move: mapped block by block,
	PATH_JOURNAL_DATA, // or with journalled data
	PATH_NO_MEMORY,
};

// Resolves and checks one --path value against the run's mount (ctx's
// root_st and mount_id). With `movable`, a regular file the kernel cannot
// move is refused too. *err: errno of a failed call.
enum path_status path_resolve(const defrag_context *ctx, const char *arg, int movable,
			      struct qf_path *p, int *err);
// The one line that says why a --path value was refused.
void report_path_failure(const char *arg, enum path_status st, int err, const char *root_dir);
// Builds the run's set from the resolved paths (taken over): marks those
// below another named directory and sorts the inode sets. When a named
// directory is the mount point itself the whole tree is meant: *paths is
// then null. 0, or -1 when memory runs out.
int paths_build(struct qf_path *v, uint32_t n, uint64_t root_ino, struct qf_paths **paths);
void paths_free(struct qf_paths *paths);
// Frees resolved paths not built into a set yet (strings and the array).
void path_list_free(struct qf_path *v, uint32_t n);
// Whether `child` (resolved) lies below the directory `dir` (resolved).
int path_below(const char *dir, const char *child);

// Whether this inode is a directory, or a regular file, named with --path.
int path_named_dir(const defrag_context *ctx, uint64_t ino);
int path_named_file(const defrag_context *ctx, uint64_t ino);
// Whether the file the walk hands over is one the run may consider: every
// file without --path; with it, a named file or one below a named directory.
int path_selected(const defrag_context *ctx, const struct stat *st);

// The walk of a pass: the whole tree below root_dir, or with --path the named
// directories (each walked, then handed over itself) and the named files.
// Results as walk_subtree's.
int walk_tree(defrag_context *ctx, scan_inode_fn callback);

// --path: resolving and checking the named files and directories, the sets
// the passes ask, and the walk over them.
//
// A named path is checked once, at setup, before anything is moved: it must
// lead (links followed) to a regular file or a directory of the file system
// mounted at root_dir, reached through that very mount (a bind mount of the
// same file system elsewhere is another view, and the donors and handles of
// the run belong to this one). The walks then start at the named paths
// instead of the mount point; the space-aware mode, which walks the whole
// tree for its donor directories, asks path_selected for each file.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include "paths.h"
#include "movable.h"
#include "run_limits.h"

static enum path_status path_fail(enum path_status st, int e, int *err)
{
	*err = e;
	return st;
}

// The mount a descriptor was reached through, as name_to_handle_at gives it.
static int mount_of(int fd, int *mount_id)
{
	struct file_handle *fh = (struct file_handle *)malloc(sizeof(*fh) + MAX_HANDLE_SZ);
	if (!fh)
		return -1;
	fh->handle_bytes = MAX_HANDLE_SZ;
	int r = name_to_handle_at(fd, "", fh, mount_id, AT_EMPTY_PATH);
	free(fh);
	return r;
}

enum path_status path_resolve(const defrag_context *ctx, const char *arg, int movable,
			      struct qf_path *p, int *err)
{
	struct stat st;
	int mount_id;

	memset(p, 0, sizeof(*p));
	*err = 0;
	p->resolved = realpath(arg, nullptr);
	if (!p->resolved)
		return path_fail(errno == ENOMEM ? PATH_NO_MEMORY : PATH_MISSING, errno, err);
	// O_PATH: a FIFO or a device is looked at, never opened
	int fd = open(p->resolved, O_PATH | O_NOFOLLOW);
	if (fd < 0)
		return path_fail(PATH_MISSING, errno, err);
	enum path_status res = PATH_OK;
	if (fstat(fd, &st))
		res = path_fail(PATH_MISSING, errno, err);
	else if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
		res = PATH_NOT_FILE;
	else if (st.st_dev != ctx->root_st.st_dev)
		res = PATH_OTHER_FS;
	else if (mount_of(fd, &mount_id))
		res = path_fail(PATH_MISSING, errno, err);
	else if (mount_id != ctx->mount_id)
		res = PATH_OTHER_MOUNT;
	close(fd);
	if (res != PATH_OK)
		return res;

	p->ino = st.st_ino;
	p->is_dir = S_ISDIR(st.st_mode);
	if (!p->is_dir && movable) {
		fd = open(p->resolved, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
		if (fd < 0)
			return path_fail(PATH_MISSING, errno, err);
		enum unmovable_kind k = file_unmovable(fd);
		close(fd);
		if (k == UNMOVABLE_BLOCK_MAPPED)
			return PATH_BLOCK_MAPPED;
		if (k == UNMOVABLE_JOURNAL_DATA)
			return PATH_JOURNAL_DATA;
	}
	// realpath gives "/" only for the root directory, which is no file
	// system's regular file and, as a directory, is handled as the mount
	// point by paths_build
	char *slash = strrchr(p->resolved, '/');
	p->parent = slash == p->resolved ? strdup("/") : strndup(p->resolved, (size_t)(slash - p->resolved));
	if (!p->parent)
		return path_fail(PATH_NO_MEMORY, ENOMEM, err);
	p->base = slash[1] ? slash + 1 : ".";
	return PATH_OK;
}

void report_path_failure(const char *arg, enum path_status st, int err, const char *root_dir)
{
	const char *why = nullptr;
	char buf[512];
	switch (st) {
	case PATH_OK:
		return;
	case PATH_MISSING:
	case PATH_NO_MEMORY:
		why = strerror(err ? err : ENOMEM);
		break;
	case PATH_OTHER_FS:
		snprintf(buf, sizeof(buf), "not on the file system mounted at %s", root_dir);
		why = buf;
		break;
	case PATH_OTHER_MOUNT:
		snprintf(buf, sizeof(buf), "not reached through the mount at %s", root_dir);
		why = buf;
		break;
	case PATH_NOT_FILE:
		why = "neither a regular file nor a directory";
		break;
	case PATH_BLOCK_MAPPED:
		why = "mapped block by block (no extents), which the kernel cannot move";
		break;
	case PATH_JOURNAL_DATA:
		why = "has the journal-data attribute, and the kernel cannot move such a file";
		break;
	}
	fprintf(stderr, "quillfold: --path '%s': %s\n", arg, why);
}

int path_below(const char *dir, const char *child)
{
	size_t n = strlen(dir);
	if (n == 1 && dir[0] == '/')
		return child[0] == '/' && child[1];
	return !strncmp(dir, child, n) && child[n] == '/';
}

void path_list_free(struct qf_path *v, uint32_t n)
{
	for (uint32_t i = 0; i < n; i++) {
		free(v[i].resolved);
		free(v[i].parent);
	}
	free(v);
}

int paths_build(struct qf_path *v, uint32_t n, uint64_t root_ino, struct qf_paths **out)
{
	*out = nullptr;
	for (uint32_t i = 0; i < n; i++)
		if (v[i].is_dir && v[i].ino == root_ino) {
			// the mount point: the whole tree, as without --path
			path_list_free(v, n);
			return 0;
		}
	struct qf_paths *ps = (struct qf_paths *)calloc(1, sizeof(*ps));
	uint64_t *dirs = (uint64_t *)malloc((n ? n : 1) * sizeof(uint64_t));
	uint64_t *files = (uint64_t *)malloc((n ? n : 1) * sizeof(uint64_t));
	if (!ps || !dirs || !files) {
		free(ps);
		free(dirs);
		free(files);
		path_list_free(v, n);
		return -1;
	}
	for (uint32_t i = 0; i < n; i++) {
		for (uint32_t j = 0; j < n && !v[i].covered; j++) {
			if (j == i || !v[j].is_dir)
				continue;
			// the same directory named twice is walked once
			int same = !strcmp(v[j].resolved, v[i].resolved);
			if (path_below(v[j].resolved, v[i].resolved) || (same && j < i))
				v[i].covered = 1;
		}
		if (v[i].is_dir)
			dirs[ps->ndirs++] = v[i].ino;
		else
			files[ps->nfiles++] = v[i].ino;
	}
	std::sort(dirs, dirs + ps->ndirs);
	std::sort(files, files + ps->nfiles);
	ps->v = v;
	ps->n = n;
	ps->dirs = dirs;
	ps->files = files;
	*out = ps;
	return 0;
}

void paths_free(struct qf_paths *ps)
{
	if (!ps)
		return;
	path_list_free(ps->v, ps->n);
	free(ps->dirs);
	free(ps->files);
	free(ps);
}

static int in_set(const uint64_t *set, uint32_t n, uint64_t ino)
{
	return std::binary_search(set, set + n, ino);
}

int path_named_dir(const defrag_context *ctx, uint64_t ino)
{
	return ctx->paths && in_set(ctx->paths->dirs, ctx->paths->ndirs, ino);
}

int path_named_file(const defrag_context *ctx, uint64_t ino)
{
	return ctx->paths && in_set(ctx->paths->files, ctx->paths->nfiles, ino);
}

int path_selected(const defrag_context *ctx, const struct stat *st)
{
	if (!ctx->paths || ctx->walk_in_named)
		return 1;
	return S_ISDIR(st->st_mode) ? path_named_dir(ctx, st->st_ino)
				    : path_named_file(ctx, st->st_ino);
}

int walk_tree(defrag_context *ctx, scan_inode_fn callback)
{
	if (!ctx->paths)
		return walk_subtree(ctx, ctx->root_fd, callback);
	for (uint32_t i = 0; i < ctx->paths->n; i++) {
		const struct qf_path *p = &ctx->paths->v[i];
		if (p->covered)
			continue;
		if (!ctx->walk_untimed && run_time_up())
			break;
		int dir_fd = open(p->parent, O_RDONLY | O_DIRECTORY);
		if (dir_fd < 0)
			return -1;
		int ret = walk_entry(ctx, dir_fd, p->base, p->is_dir ? DT_DIR : DT_REG, callback);
		close(dir_fd);
		if (ret)
			return ret;
	}
	return 0;
}

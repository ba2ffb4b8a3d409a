// Setup of a run: the command line, the mount point and its device, the file
// system opened read-only, the template handle, the settings in blocks and
// the group slots. Every step either succeeds or names its failure.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>
extern "C" {
#include <et/com_err.h>
}
#include "setup.h"
#include "movable.h"
#include "paths.h"
#include "progress.h"
#include "run_limits.h"
#include "stats.h"
#include "syscalls.h"

void reset_run_state(void)
{
	debug_flags = 0;
	verbose = 0;
	show_stats = 0;
	run_uid = 0;
	old_time = 0;
	keep_going = 0;
	progress_requested = 0;
	total_spextents = scanned_inodes = scanned_dirs = scanned_files = 0;
	scanned_extents = scanned_blocks = ief_candidates = ief_candidate_blocks = 0;
	iaf_inodes = iaf_blocks = ief_done_inodes = ief_done_blocks = vanished_entries = 0;
	space_aware_summary = 0;
	unmovable_block_mapped = unmovable_journal_data = 0;
}

static enum setup_status fail(struct setup_result *f, enum setup_status st, int err)
{
	f->status = st;
	f->err = err;
	return st;
}

// The root handle: the first call, with no room, must fail with EOVERFLOW
// and say how much room the kernel needs; the second must then succeed.
static int take_root_handle(defrag_context *ctx)
{
	ctx->root_fhandle->handle_bytes = 0;
	int ret = qf_sys.name_to_handle_at(ctx->root_fd, ".", ctx->root_fhandle, &ctx->mount_id, 0);
	if (ret != -1 || errno != EOVERFLOW)
		return -1;
	return qf_sys.name_to_handle_at(ctx->root_fd, ".", ctx->root_fhandle, &ctx->mount_id, 0);
}

// A run that could change nothing would otherwise walk the whole tree and
// report success: a read-only mount refuses every donor, and without the
// privilege to open by handle no donor directory and no candidate can be
// reached. SETUP_OK when moves are possible.
static enum setup_status moves_possible(defrag_context *ctx, struct setup_result *f)
{
	struct statvfs sv;
	if (!fstatvfs(ctx->root_fd, &sv) && (sv.f_flag & ST_RDONLY))
		return fail(f, SETUP_READ_ONLY, 0);
	int fd = qf_sys.open_by_handle_at(ctx->root_fd, ctx->root_fhandle, O_RDONLY);
	if (fd < 0)
		return fail(f, errno == EPERM ? SETUP_NO_PRIVILEGE : SETUP_HANDLE_OPEN, errno);
	close(fd);
	return SETUP_OK;
}

// What the kernel's extent move can never take, found from the file system
// and the mount before a walk: a run would otherwise try every file and
// fail every time.
static enum setup_status kernel_can_move(defrag_context *ctx, struct setup_result *f)
{
	if (!ext2fs_has_feature_extents(ctx->fs->super))
		return fail(f, SETUP_NO_EXTENTS, 0);
	if (ext2fs_has_feature_bigalloc(ctx->fs->super))
		return fail(f, SETUP_BIGALLOC, 0);
	if (mount_data_journal(ctx->mount_id))
		return fail(f, SETUP_DATA_JOURNAL, 0);
	return SETUP_OK;
}

// Every --path resolved and checked; the run's set built from them.
static enum setup_status resolve_paths(defrag_context *ctx, const defrag_options *opts,
				       struct setup_result *f)
{
	if (!opts->npaths)
		return SETUP_OK;
	struct qf_path *v = (struct qf_path *)calloc(opts->npaths, sizeof(*v));
	if (!v)
		return fail(f, SETUP_NO_MEMORY, errno);
	for (uint32_t i = 0; i < opts->npaths; i++) {
		int err = 0;
		// an analysis moves nothing: it may look at any file
		enum path_status ps = path_resolve(ctx, opts->paths[i], !opts->analyze, &v[i], &err);
		if (ps != PATH_OK) {
			f->bad_option = "path";
			f->bad_value = opts->paths[i];
			f->path = ps;
			path_list_free(v, i + 1);
			return fail(f, SETUP_BAD_PATH, err);
		}
	}
	if (paths_build(v, opts->npaths, ctx->root_st.st_ino, &ctx->paths))
		return fail(f, SETUP_NO_MEMORY, ENOMEM);
	return SETUP_OK;
}

// The settings in blocks, now that the block size is known.
static void convert_settings(defrag_context *ctx, const defrag_options *opts)
{
	ctx->dry_run = opts->dry_run;
	ctx->cluster_blocks = opts->cluster_bytes >> ctx->blocksize_bits;
	ctx->reloc_cluster_blocks = opts->reloc_cluster_bytes >> ctx->blocksize_bits;
	if (!ctx->reloc_cluster_blocks)
		ctx->reloc_cluster_blocks = ctx->cluster_blocks;
	if ((opts->min_frag_bytes >> ctx->blocksize_bits) >= 1)
		ctx->min_frag_blocks = (uint32_t)(opts->min_frag_bytes >> ctx->blocksize_bits);
	else
		ctx->min_frag_blocks = 16;
	ctx->scale = opts->scale;
	ctx->quality = (uint32_t)opts->quality;
	ctx->spextents.rb_node = nullptr;
	ctx->force_local = opts->force_local;
	ctx->space_aware = opts->space_aware;
	ctx->report = opts->report;
	ctx->analyze = opts->analyze;
	ctx->json = opts->json;
	// an analysis writes nothing, not even the file's dirty pages
	ctx->fiemap_no_sync = opts->analyze;
	ctx->flex_log = options_flex_log(opts, ctx->fs->super->s_log_groups_per_flex);
	ctx->reloc_order = 2;
}

// The mount point and the device that must be mounted there.
static enum setup_status open_root_and_device(defrag_context *ctx, const defrag_options *opts,
					      struct setup_result *f)
{
	// an analysis reads the mount point without touching its access time
	ctx->root_fd = -1;
	if (opts->analyze)
		ctx->root_fd = open(opts->root_dir, O_RDONLY | O_DIRECTORY | O_NOATIME);
	if (!opts->analyze || (ctx->root_fd < 0 && errno == EPERM))
		ctx->root_fd = open(opts->root_dir, O_RDONLY | O_DIRECTORY);
	if (ctx->root_fd < 0)
		return fail(f, SETUP_ROOT_OPEN, errno);
	if (fstat(ctx->root_fd, &ctx->root_st))
		return fail(f, SETUP_ROOT_FSTAT, errno);

	struct stat dev_st;
	if (stat(opts->device, &dev_st))
		return fail(f, SETUP_DEVICE_STAT, errno);
	if (!S_ISBLK(dev_st.st_mode))
		return fail(f, SETUP_NOT_BLOCK, 0);
	if (dev_st.st_rdev != ctx->root_st.st_dev)
		return fail(f, SETUP_WRONG_DEVICE, 0);

	f->code = open_fs(opts->device, &ctx->fs);
	if (f->code)
		return fail(f, SETUP_FS_OPEN, 0);
	return SETUP_OK;
}

static enum setup_status setup_from_options(defrag_context *ctx, const defrag_options *o,
					    struct setup_result *f, double started);

enum setup_status setup_run(defrag_context *ctx, int argc, char **argv, struct setup_result *f)
{
	defrag_options opts;
	enum setup_status st;

	memset(ctx, 0, sizeof(*ctx));
	ctx->root_fd = -1;
	memset(f, 0, sizeof(*f));
	reset_run_state();
	double started = run_clock();
	add_error_table(&et_ext2_error_table);
	gettimeofday(&start_time, nullptr);
	old_time = (uint32_t)(start_time.tv_sec - 864000);

	f->options = parse_options(argc, argv, &opts);
	if (f->options != OPTIONS_OK) {
		f->bad_option = opts.bad_option;
		f->bad_value = opts.bad_value;
		options_free(&opts);
		return fail(f, SETUP_OPTIONS, 0);
	}
	st = setup_from_options(ctx, &opts, f, started);
	options_free(&opts);
	return st;
}

// Everything after the command line was accepted.
static enum setup_status setup_from_options(defrag_context *ctx, const defrag_options *o,
					    struct setup_result *f, double started)
{
	const defrag_options &opts = *o;
	enum setup_status st;
	keep_going = opts.keep_going;
	f->device = opts.device;
	f->root_dir = opts.root_dir;
	run_uid = getuid();

	st = open_root_and_device(ctx, &opts, f);
	if (st != SETUP_OK)
		return st;

	ctx->blocksize_bits = floor_log2(ctx->root_st.st_blksize);
	if (ctx->root_st.st_blksize > (int32_t)opts.cluster_bytes)
		return fail(f, SETUP_SMALL_CLUSTER, 0);

	ctx->root_fhandle = (struct file_handle *)malloc(sizeof(struct file_handle) + MAX_HANDLE_SZ);
	if (!ctx->root_fhandle)
		return fail(f, SETUP_NO_MEMORY, errno);
	if (take_root_handle(ctx))
		return fail(f, SETUP_ROOT_HANDLE, errno);
	if ((st = resolve_paths(ctx, &opts, f)) != SETUP_OK)
		return st;
	// a dry run and an analysis move nothing: they may look at what a run
	// could not change
	int moves = !opts.dry_run && !opts.analyze;
	if (moves && (st = moves_possible(ctx, f)) != SETUP_OK)
		return st;
	if (moves && (st = kernel_can_move(ctx, f)) != SETUP_OK)
		return st;

	convert_settings(ctx, &opts);
	run_limits_set(started, opts.time_limit, opts.max_rate, ctx->blocksize_bits);
	ctx->groups = (struct group_info **)calloc(group_slot_count(ctx), sizeof(*ctx->groups));
	if (!ctx->groups)
		return fail(f, SETUP_NO_MEMORY, errno);
	if (opts.idle && !opts.analyze && run_set_idle())
		return fail(f, SETUP_IDLE, errno);
	return SETUP_OK;
}

int report_setup_failure(const struct setup_result *f)
{
	switch (f->status) {
	case SETUP_OK:
		return 0;
	case SETUP_OPTIONS:
		report_options(f->options, f->bad_option, f->bad_value);
		return f->options == OPTIONS_HELP || f->options == OPTIONS_VERSION ? 0 : 1;
	case SETUP_ROOT_OPEN:
		fprintf(stderr, "%s: can not open directory at:%s, errno:%d\n", "main", f->root_dir,
			f->err);
		break;
	case SETUP_ROOT_FSTAT:
		fprintf(stderr, "%s: can fstat root:%s, errno:%d\n", "main", f->root_dir, f->err);
		break;
	case SETUP_DEVICE_STAT:
		com_err(f->device, f->err, "while opening filesystem image");
		break;
	case SETUP_NOT_BLOCK:
		com_err(f->device, 0, "while opening filesystem, block device expected");
		break;
	case SETUP_WRONG_DEVICE:
		com_err(f->device, 0, "while opening filesystem, wrong block device");
		break;
	case SETUP_FS_OPEN:
		com_err(f->device, f->code, "while opening filesystem");
		break;
	case SETUP_SMALL_CLUSTER:
		fprintf(stderr, "defragmentarion cluster can not be less than fsblock size\n");
		break;
	case SETUP_NO_MEMORY:
		fprintf(stderr, "%s:  Can not allocate memory errno:%d\n", "main", f->err);
		break;
	case SETUP_ROOT_HANDLE:
		fprintf(stderr, "Unexpected result from name_to_handle_at()\n");
		break;
	case SETUP_READ_ONLY:
		fprintf(stderr, "%s: %s is mounted read-only, nothing can be moved\n", "main",
			f->root_dir);
		break;
	case SETUP_NO_PRIVILEGE:
		fprintf(stderr,
			"%s: opening files by handle needs CAP_DAC_READ_SEARCH, nothing can be "
			"moved\n",
			"main");
		break;
	case SETUP_HANDLE_OPEN:
		fprintf(stderr, "%s: can not open files by handle (%s), nothing can be moved\n",
			"main", strerror(f->err));
		break;
	case SETUP_BAD_PATH:
		report_path_failure(f->bad_value, (enum path_status)f->path, f->err, f->root_dir);
		break;
	case SETUP_NO_EXTENTS:
		fprintf(stderr,
			"%s: %s has no extents feature: its files are mapped block by block, which "
			"the kernel cannot move, nothing can be moved\n",
			"main", f->device);
		break;
	case SETUP_BIGALLOC:
		fprintf(stderr,
			"%s: %s allocates blocks in clusters (bigalloc): the kernel moves no "
			"extent on such a file system, nothing can be moved\n",
			"main", f->device);
		break;
	case SETUP_DATA_JOURNAL:
		fprintf(stderr,
			"%s: %s is mounted with data=journal: the kernel moves no file whose data "
			"is journalled, nothing can be moved\n",
			"main", f->root_dir);
		break;
	case SETUP_IDLE:
		fprintf(stderr, "%s: --idle: can not lower the priority (%s)\n", "main",
			strerror(f->err));
		break;
	}
	return 1;
}

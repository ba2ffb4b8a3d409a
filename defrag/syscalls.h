// The kernel requests that tests need to steer, behind one table of function
// pointers. Production code calls through qf_sys; a test swaps an entry to make
// the kernel answer as it chooses, and restores it afterwards.
#pragma once
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <sys/types.h>
#include <ext2fs/ext2fs.h>

struct fiemap;
struct move_extent {
	uint32_t reserved;
	uint32_t donor_fd;
	uint64_t orig_start;
	uint64_t donor_start;
	uint64_t len;
	uint64_t moved_len;
};
#define EXT4_IOC_MOVE_EXT 0xC028660Fu

struct sys_ops {
	int (*fiemap)(int fd, struct fiemap *fm);
	int (*move_ext)(int fd, struct move_extent *req);
	int (*open_by_handle_at)(int mount_fd, struct file_handle *h, int flags);
	int (*name_to_handle_at)(int dir_fd, const char *name, struct file_handle *h,
				 int *mount_id, int flags);
	long (*getdents64)(int fd, void *buf, size_t count);
	int (*openat)(int dir_fd, const char *name, int flags, mode_t mode);
	// not a system call, but the one read of the device that races the kernel
	errcode_t (*read_bitmaps)(ext2_filsys fs);
};

extern struct sys_ops qf_sys;
extern const struct sys_ops qf_sys_default;

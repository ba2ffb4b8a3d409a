#include <cerrno>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <linux/fs.h>
#include <linux/fiemap.h>
#include "syscalls.h"

static int real_fiemap(int fd, struct fiemap *fm)
{
	return ioctl(fd, FS_IOC_FIEMAP, fm);
}

static int real_move_ext(int fd, struct move_extent *req)
{
	return ioctl(fd, EXT4_IOC_MOVE_EXT, req);
}

static int real_open_by_handle_at(int mount_fd, struct file_handle *h, int flags)
{
	return open_by_handle_at(mount_fd, h, flags);
}

static int real_name_to_handle_at(int dir_fd, const char *name, struct file_handle *h,
				  int *mount_id, int flags)
{
	return name_to_handle_at(dir_fd, name, h, mount_id, flags);
}

static long real_getdents64(int fd, void *buf, size_t count)
{
	return syscall(SYS_getdents64, fd, buf, count);
}

static int real_openat(int dir_fd, const char *name, int flags, mode_t mode)
{
	return openat(dir_fd, name, flags, mode);
}

static errcode_t real_read_bitmaps(ext2_filsys fs)
{
	return ext2fs_read_bitmaps(fs);
}

const struct sys_ops qf_sys_default = {
	real_fiemap,	  real_move_ext, real_open_by_handle_at, real_name_to_handle_at,
	real_getdents64, real_openat,   real_read_bitmaps,
};

struct sys_ops qf_sys = qf_sys_default;

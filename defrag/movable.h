// What the kernel's extent move cannot take: a file system without extents,
// a mount whose data is journalled, and single files mapped block by block
// or carrying the journal-data attribute. Each is found before a move is
// tried, so that the run says why instead of failing once per file.
#pragma once
#include <cstdint>

enum unmovable_kind {
	MOVABLE = 0,
	UNMOVABLE_BLOCK_MAPPED, // no extent tree: mapped block by block (older format)
	UNMOVABLE_JOURNAL_DATA, // the journal-data attribute (chattr +j)
};

// From a file's attribute flags (FS_IOC_GETFLAGS).
enum unmovable_kind unmovable_from_flags(uint32_t flags);
// The open file's kind; MOVABLE when its flags cannot be read (the move
// itself then says what is wrong).
enum unmovable_kind file_unmovable(int fd);
// The walk's check before a file is planned or moved: 1 when the kernel
// cannot move it, counted in the run's unmovable_* counters (and named
// under -d 0x02); 0 otherwise.
int skip_unmovable(int fd, uint64_t ino);

// Whether the mount with this id (as name_to_handle_at and
// /proc/self/mountinfo give it) journals file data (data=journal), from the
// text of a mountinfo file. 1, 0, or -1 when the mount is not in the text.
int mountinfo_data_journal(const char *text, int mount_id);
// The same for this process's mounts. 0 when mountinfo cannot be read.
int mount_data_journal(int mount_id);

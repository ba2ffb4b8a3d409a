// What the kernel's extent move cannot take, found before a move is tried.
// The kernel refuses a file without an extent tree and any file whose data
// goes through the journal (the whole mount with data=journal, or one file
// with the journal-data attribute): every such request would fail the same
// way, and a run that tried each file would print one failure per file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <linux/fs.h>
#include "movable.h"
#include "debug.h"
#include "stats.h"

// The extent-tree flag is ext4's own; the header names it only for the
// kernel.
#define QF_EXTENTS_FL 0x00080000u

enum unmovable_kind unmovable_from_flags(uint32_t flags)
{
	if (!(flags & QF_EXTENTS_FL))
		return UNMOVABLE_BLOCK_MAPPED;
	if (flags & FS_JOURNAL_DATA_FL)
		return UNMOVABLE_JOURNAL_DATA;
	return MOVABLE;
}

enum unmovable_kind file_unmovable(int fd)
{
	// the request takes an int, whatever its name says
	int flags = 0;
	if (ioctl(fd, FS_IOC_GETFLAGS, &flags))
		return MOVABLE;
	return unmovable_from_flags((uint32_t)flags);
}

int skip_unmovable(int fd, uint64_t ino)
{
	enum unmovable_kind k = file_unmovable(fd);
	if (k == MOVABLE)
		return 0;
	if (k == UNMOVABLE_BLOCK_MAPPED)
		unmovable_block_mapped++;
	else
		unmovable_journal_data++;
	if (debug_flags & QF_DBG_DETAIL)
		printf("%s inode:%llu %s, the kernel cannot move it: skipped\n", "skip_unmovable",
		       (unsigned long long)ino,
		       k == UNMOVABLE_BLOCK_MAPPED ? "is mapped block by block"
						   : "has the journal-data attribute");
	return 1;
}

// One line of mountinfo: "ID PARENT MAJ:MIN ROOT POINT OPTIONS [TAGS...] - TYPE
// SOURCE SUPER_OPTIONS". The data mode is a super option of the file system.
static int line_data_journal(const char *line, size_t len, int mount_id, int *found)
{
	char *end;
	long id = strtol(line, &end, 10);
	if (end == line || id != mount_id)
		return 0;
	*found = 1;
	const char *sep = nullptr;
	for (size_t i = 0; i + 3 <= len; i++)
		if (line[i] == ' ' && line[i + 1] == '-' && line[i + 2] == ' ') {
			sep = line + i + 3;
			break;
		}
	if (!sep)
		return 0;
	// the type and the source, then the super options
	const char *p = sep, *stop = line + len;
	for (int field = 0; field < 2 && p < stop; field++) {
		while (p < stop && *p != ' ')
			p++;
		while (p < stop && *p == ' ')
			p++;
	}
	while (p < stop) {
		const char *q = p;
		while (q < stop && *q != ',' && *q != ' ' && *q != '\n')
			q++;
		if ((size_t)(q - p) == strlen("data=journal") && !memcmp(p, "data=journal", (size_t)(q - p)))
			return 1;
		if (q >= stop || *q != ',')
			break;
		p = q + 1;
	}
	return 0;
}

int mountinfo_data_journal(const char *text, int mount_id)
{
	int found = 0;
	for (const char *line = text; *line;) {
		const char *nl = strchr(line, '\n');
		size_t len = nl ? (size_t)(nl - line) : strlen(line);
		if (line_data_journal(line, len, mount_id, &found))
			return 1;
		if (found)
			return 0;
		line += len + (nl ? 1 : 0);
	}
	return -1;
}

int mount_data_journal(int mount_id)
{
	FILE *f = fopen("/proc/self/mountinfo", "re");
	if (!f)
		return 0;
	char *text = nullptr;
	size_t size = 0;
	FILE *mem = open_memstream(&text, &size);
	char buf[4096];
	size_t n;
	while (mem && (n = fread(buf, 1, sizeof(buf), f)) > 0)
		fwrite(buf, 1, n, mem);
	fclose(f);
	if (!mem)
		return 0;
	fclose(mem);
	int r = text ? mountinfo_data_journal(text, mount_id) : -1;
	free(text);
	return r == 1;
}

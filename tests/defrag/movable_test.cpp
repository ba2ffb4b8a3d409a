// What the kernel cannot move, decided from a file's flags and from the
// mount table's text. On real images: unmovable_image_test.cpp.
#include <gtest/gtest.h>
#include "movable.h"

TEST(Movable, FileFlagsSayWhetherTheKernelCanMoveIt)
{
	EXPECT_EQ(unmovable_from_flags(0x00080000), MOVABLE);            // extents
	EXPECT_EQ(unmovable_from_flags(0x00080000 | 0x10), MOVABLE);     // and immutable: the kernel decides
	EXPECT_EQ(unmovable_from_flags(0), UNMOVABLE_BLOCK_MAPPED);
	EXPECT_EQ(unmovable_from_flags(0x00004000), UNMOVABLE_BLOCK_MAPPED);
	EXPECT_EQ(unmovable_from_flags(0x00084000), UNMOVABLE_JOURNAL_DATA);
}

TEST(Movable, DataJournalIsASuperOptionOfTheMountWithThatId)
{
	const char *text =
		"22 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda rw,data=ordered\n"
		"47 22 7:1 / /mnt/j rw,relatime - ext4 /dev/loop1 rw,nodelalloc,data=journal\n"
		"48 22 7:2 / /mnt/o rw,relatime shared:5 master:1 - ext4 /dev/loop2 rw\n"
		// "data=journal" among the mount's own options or its source is not it
		"49 22 7:3 / /mnt/data=journal rw - ext4 /dev/data=journal rw,data=writeback\n"
		"50 22 7:4 / /mnt/p rw - ext4 /dev/loop4 rw,data=journal";
	EXPECT_EQ(mountinfo_data_journal(text, 47), 1);
	EXPECT_EQ(mountinfo_data_journal(text, 22), 0);
	EXPECT_EQ(mountinfo_data_journal(text, 48), 0);
	EXPECT_EQ(mountinfo_data_journal(text, 49), 0);
	EXPECT_EQ(mountinfo_data_journal(text, 50), 1) << "last line, no line end";
	EXPECT_EQ(mountinfo_data_journal(text, 4), -1);
	EXPECT_EQ(mountinfo_data_journal("", 4), -1);
}

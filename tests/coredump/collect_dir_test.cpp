// The collect directory on its own, without the kernel: the directories it
// refuses, and that a core appears only whole and never over a file already
// there.
#include "collect_dir.h"
#include "dir_listing.h"
#include "test_support.h"

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::TempDir;

TEST(CollectDir, RefusesDirectoriesOthersCouldPlaceFilesIn)
{
	TempDir t("skvcdir");
	const std::string real = t.path() + "/real", file = t.path() + "/file", link = t.path() + "/link";
	ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
	std::ofstream(file) << "x";
	ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
	struct Case {
		const char *what;
		std::string path;
		mode_t mode; // of real, 0 to leave it
		const char *reason; // null: accepted
	} cases[] = {
		{"missing: made with mode 0700", t.path() + "/new", 0, nullptr},
		{"group-writable", real, 0770, "writable by others"},
		{"writable by all", real, 0703, "writable by others"},
		{"a link to a safe directory", link, 0700, "cannot open"},
		{"a regular file", file, 0, "cannot open"},
		{"safe", real, 0700, nullptr},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		if (c.mode) {
			ASSERT_EQ(chmod(real.c_str(), c.mode), 0);
		}
		Skelvane::CollectDir d(c.path);
		std::string why;
		bool ok = d.open(why);
		if (!c.reason) {
			EXPECT_TRUE(ok) << why;
			struct stat st;
			ASSERT_EQ(stat(c.path.c_str(), &st), 0);
			EXPECT_EQ(st.st_mode & 07777, 0700u);
		} else {
			EXPECT_FALSE(ok);
			EXPECT_NE(why.find(c.reason), std::string::npos) << why;
		}
	}
}

TEST(CollectDir, PublishesWholeFilesAndNeverOverAnother)
{
	TempDir t("skvcdir");
	const std::string dir = t.path() + "/cores";
	std::string why;
	{
		SCOPED_TRACE("written under a temporary name, then named");
		Skelvane::CollectDir d(dir);
		ASSERT_TRUE(d.open(why)) << why;
		ASSERT_TRUE(d.create("core.a.1.2", why)) << why;
		ASSERT_EQ(write(d.getTempFd(), "stripped", 8), 8);
		EXPECT_EQ(listDir(dir), std::vector<std::string>{".core.a.1.2.tmp"});
		struct stat st;
		ASSERT_EQ(fstat(d.getTempFd(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, 0600u);
		ASSERT_TRUE(d.publish(why)) << why;
		EXPECT_EQ(listDir(dir), std::vector<std::string>{"core.a.1.2"});
		EXPECT_EQ(readFile(dir + "/core.a.1.2"), "stripped");
		EXPECT_FALSE(d.create("core.a.1.2", why));
		EXPECT_NE(why.find("already exists"), std::string::npos) << why;
	}
	{
		SCOPED_TRACE("a file that appears under the name meanwhile is left as it is");
		Skelvane::CollectDir d(dir);
		ASSERT_TRUE(d.open(why)) << why;
		ASSERT_TRUE(d.create("core.b.1.2", why)) << why;
		ASSERT_EQ(write(d.getTempFd(), "stripped", 8), 8);
		std::ofstream(dir + "/core.b.1.2") << "planted";
		EXPECT_FALSE(d.publish(why));
		EXPECT_NE(why.find("cannot name"), std::string::npos) << why;
		d.abandon();
		EXPECT_EQ(readFile(dir + "/core.b.1.2"), "planted");
		EXPECT_EQ(listDir(dir), (std::vector<std::string>{"core.a.1.2", "core.b.1.2"}));
	}
	{
		SCOPED_TRACE("abandoned after publishing, or never published: nothing stays");
		{
			Skelvane::CollectDir d(dir);
			ASSERT_TRUE(d.open(why) && d.create("core.c.1.2", why)) << why;
			ASSERT_TRUE(d.publish(why)) << why;
			d.abandon();
		}
		{
			Skelvane::CollectDir d(dir);
			ASSERT_TRUE(d.open(why) && d.create("core.d.1.2", why)) << why;
		}
		EXPECT_EQ(listDir(dir), (std::vector<std::string>{"core.a.1.2", "core.b.1.2"}));
	}
}

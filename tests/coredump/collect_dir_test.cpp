// The collect directory without the kernel: the directories it refuses to
// write into, and that a core appears only whole and never over a file that
// is already there.
#include "collect_dir.h"
#include "test_support.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using Skelvane::CollectDir;
using testsupport::TempDir;

namespace {

std::vector<std::string> names(const std::string &d)
{
	std::vector<std::string> out;
	if (DIR *dir = opendir(d.c_str())) {
		while (dirent *e = readdir(dir))
			if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
				out.push_back(e->d_name);
		closedir(dir);
	}
	std::sort(out.begin(), out.end());
	return out;
}

std::string contents(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(f), {});
}

void put(int fd, const std::string &text)
{
	ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
}

} // namespace

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
		CollectDir d(c.path);
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
		CollectDir d(dir);
		ASSERT_TRUE(d.open(why)) << why;
		ASSERT_TRUE(d.create("core.a.1.2", why)) << why;
		put(d.getTempFd(), "stripped");
		EXPECT_EQ(names(dir), std::vector<std::string>{".core.a.1.2.tmp"});
		struct stat st;
		ASSERT_EQ(fstat(d.getTempFd(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, 0600u);
		ASSERT_TRUE(d.publish(why)) << why;
		EXPECT_EQ(names(dir), std::vector<std::string>{"core.a.1.2"});
		EXPECT_EQ(contents(dir + "/core.a.1.2"), "stripped");
		EXPECT_FALSE(d.create("core.a.1.2", why));
		EXPECT_NE(why.find("already exists"), std::string::npos) << why;
	}
	{
		SCOPED_TRACE("a file that appears under the name meanwhile is left as it is");
		CollectDir d(dir);
		ASSERT_TRUE(d.open(why)) << why;
		ASSERT_TRUE(d.create("core.b.1.2", why)) << why;
		put(d.getTempFd(), "stripped");
		std::ofstream(dir + "/core.b.1.2") << "planted";
		EXPECT_FALSE(d.publish(why));
		EXPECT_NE(why.find("cannot name"), std::string::npos) << why;
		d.abandon();
		EXPECT_EQ(contents(dir + "/core.b.1.2"), "planted");
		EXPECT_EQ(names(dir), (std::vector<std::string>{"core.a.1.2", "core.b.1.2"}));
	}
	{
		SCOPED_TRACE("abandoned after publishing, or never published: nothing stays");
		{
			CollectDir d(dir);
			ASSERT_TRUE(d.open(why) && d.create("core.c.1.2", why)) << why;
			ASSERT_TRUE(d.publish(why)) << why;
			d.abandon();
		}
		{
			CollectDir d(dir);
			ASSERT_TRUE(d.open(why) && d.create("core.d.1.2", why)) << why;
		}
		EXPECT_EQ(names(dir), (std::vector<std::string>{"core.a.1.2", "core.b.1.2"}));
	}
}

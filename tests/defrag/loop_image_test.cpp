// The shared image helper itself: everything it attaches is detached again.
#include <unistd.h>
#include "test_support.h"

using namespace testsupport;

TEST(LoopImageHelper, MountsWritesChecksAndDetaches)
{
	REQUIRE_ROOT();
	std::string dev, mnt, image;
	{
		LoopImage img(64, "-b 4096");
		ASSERT_TRUE(img.ok());
		dev = img.device();
		mnt = img.mnt();
		image = img.image();
		sh_ok("dd if=/dev/urandom of='" + img.path("a") + "' bs=4096 count=3 status=none");
		img.settle();
		auto exts = filefrag(img.path("a"));
		ASSERT_EQ(exts.size(), 1u);
		EXPECT_EQ(exts[0].logical, 0u);
		EXPECT_EQ(exts[0].length, 3u);
		EXPECT_EQ(fragments(exts), 1u);
		std::string out;
		EXPECT_EQ(img.fsck(&out), 0) << out;
		EXPECT_EQ(sh("mountpoint -q '" + mnt + "'").status, 0) << "remounted after fsck";
	}
	// Other tests may take the freed device at once: ask whether it still
	// holds this image, not whether it is free.
	EXPECT_NE(sh("losetup " + dev + " 2>/dev/null | grep -qF '" + image + "'").status, 0);
	EXPECT_NE(access(mnt.c_str(), F_OK), 0);
}

TEST(LoopImageHelper, FilefragKeepsTheFlagsWithOrWithoutExpectedColumn)
{
	REQUIRE_ROOT();
	LoopImage img(64, "-b 4096");
	ASSERT_TRUE(img.ok());
	// a written block followed by a preallocated (unwritten) range
	sh_ok("dd if=/dev/urandom of='" + img.path("p") + "' bs=4096 count=1 status=none && " +
	      "fallocate -o 4096 -l 40960 '" + img.path("p") + "'");
	img.settle();
	auto exts = filefrag(img.path("p"));
	ASSERT_FALSE(exts.empty());
	bool unwritten = false;
	for (auto &e : exts)
		unwritten |= e.flags.find("unwritten") != std::string::npos;
	EXPECT_TRUE(unwritten);
	EXPECT_NE(exts.back().flags.find("eof"), std::string::npos);
}

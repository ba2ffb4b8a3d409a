// The collector without the kernel: a core stream and a memory image made
// by hand, given to it as the kernel would.
#include "collector.h"
#include "dir_listing.h"
#include "hand_core.h"
#include "test_support.h"

#include <sstream>
#include <sys/mman.h>
#include <unistd.h>

using testsupport::TempDir;

// Without the kernel: the stream's head and a memory image of the same core
// give the file mode's bytes, and a stream shorter than its headers say
// gives no core, though memory has every byte the stripper needs: only the
// record, which says why.
TEST(Collect, StreamAndMemoryGiveTheFileModeBytes)
{
	TempDir t("skvcollect");
	handcore::Layout L;
	L.pie = true;
	handcore::Bytes core = handcore::standardCore(L).bytes();
	handcore::standardCore(L).write(t.path() + "/core");
	Skelvane::Core fromFile;
	ASSERT_TRUE(fromFile.read((t.path() + "/core").c_str()));
	std::ostringstream expected;
	expected << fromFile;

	boost::shared_ptr<Skelvane::Memory> memory(new Skelvane::ImageMemory(core.data(), core.size()));
	for (size_t length : {core.size(), core.size() - 1}) {
		SCOPED_TRACE(length);
		int fd = memfd_create("stream", 0);
		ASSERT_EQ(write(fd, core.data(), length), (ssize_t)length);
		lseek(fd, 0, SEEK_SET);
		const std::string out = t.path() + "/cores" + std::to_string(length);
		Skelvane::CollectOptions options;
		options.keep = 5;
		options.buildIds = false;
		Skelvane::Collector collector(out, options);
		std::string why;
		bool ok = collector.collect(fd, memory, "7", "8", "x/y", why);
		close(fd);
		if (length == core.size()) {
			ASSERT_TRUE(ok) << why;
			EXPECT_EQ(listDir(out), (std::vector<std::string>{".rate", "core.x_y.7.8", "core.x_y.7.8.json"}));
			EXPECT_TRUE(readFile(out + "/core.x_y.7.8") == expected.str());
		} else {
			EXPECT_FALSE(ok);
			EXPECT_NE(why.find("ended after"), std::string::npos) << why;
			EXPECT_EQ(listDir(out), (std::vector<std::string>{".rate", "core.x_y.7.8.json"}));
			EXPECT_NE(readFile(out + "/core.x_y.7.8.json").find("\"not_kept\": \"the core stream ended after"),
				  std::string::npos);
		}
	}
}

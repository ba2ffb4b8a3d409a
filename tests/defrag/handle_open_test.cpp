// Opening a cached handle where only root may: a FIFO must not block the open.
#include <csignal>
#include <vector>
#include "group_cache_fixture.h"

using namespace testsupport;

// A name the walk saw as a file can be a FIFO when its handle is opened: the
// open must come back at once instead of waiting for a writer for ever.
TEST_F(GroupCache, AHandleOfAFifoOpensWithoutWaitingForAWriter)
{
	REQUIRE_ROOT();
	std::string fifo = tmp.path() + "/pipe";
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	std::vector<unsigned char> h(sizeof(struct file_handle) + ctx.root_fhandle->handle_bytes);
	struct file_handle *fh = (struct file_handle *)h.data();
	fh->handle_bytes = ctx.root_fhandle->handle_bytes;
	int mid;
	ASSERT_EQ(name_to_handle_at(ctx.root_fd, "pipe", fh, &mid, 0), 0);
	alarm(10); // a blocked open ends the test program instead of hanging it
	int fd = __do_open_f_handle(ctx.root_fd, ctx.root_fhandle, fh->f_handle, O_RDONLY);
	alarm(0);
	EXPECT_GE(fd, 0);
	struct stat st;
	EXPECT_TRUE(fd >= 0 && !fstat(fd, &st) && S_ISFIFO(st.st_mode));
	if (fd >= 0)
		close(fd);
}

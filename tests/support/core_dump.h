// Real kernel core dumps for tests: build small programs, crash them with
// core dumps enabled, and read gdb's view of a core.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Runs argv (argv[0] a path) in directory dir with core dumps enabled and
// returns the path of the core the kernel wrote for it, or "" (with the
// reason in *why). The global core pattern is pointed at dir for the moment
// of the crash, under a lock shared by every test process, and then restored.
std::string make_core(const std::vector<std::string> &argv, const std::string &dir, std::string *why = nullptr);

// Runs argv in dir with core dumps enabled while the core pattern is
// `pattern` (a pipe to a handler) and core_pipe_limit is above 0, so that the
// kernel waits for the handler before the process is gone; both settings
// are restored afterwards, under the same lock as make_core. Gives the
// crashed process's pid, or -1 (with the reason in *why).
int crash_with_handler(const std::vector<std::string> &argv, const std::string &dir, const std::string &pattern,
		       std::string *why = nullptr);

// gdb -batch -ex 'info sharedlibrary' -ex 'thread apply all bt' exe core,
// reduced to what does not depend on addresses.
struct GdbView {
	std::vector<std::string> libraries; // names as gdb lists them, in its order
	// per thread: "Thread <n> LWP <lwp>" and the function of each frame
	std::vector<std::pair<std::string, std::vector<std::string> > > threads;
	std::string raw;
};
GdbView gdb_view(const std::string &exe, const std::string &core);

// Text of a view for messages: one line per library and per thread.
std::string describe(const GdbView &v);

} // namespace testsupport

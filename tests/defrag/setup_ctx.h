// A run context made by the program's own setup over a mounted image, so a
// test can call a pass or one of its steps directly. Whatever setup took is
// given back on destruction (the program itself keeps it until it exits).
#pragma once
#include <string>
#include <vector>
#include <unistd.h>
#include "quillfold.h"

struct SetUpCtx {
	defrag_context ctx;
	setup_result result;
	// options: as on the command line, before the device and the mount point
	SetUpCtx(const std::string &device, const std::string &mnt,
		 const std::vector<std::string> &options = {})
	    : args_{"quillfold"}
	{
		args_.insert(args_.end(), options.begin(), options.end());
		args_.push_back(device);
		args_.push_back(mnt);
		std::vector<char *> argv;
		for (auto &a : args_)
			argv.push_back(&a[0]);
		argv.push_back(nullptr);
		setup_run(&ctx, (int)args_.size(), argv.data(), &result);
	}
	bool ok() const { return result.status == SETUP_OK; }
	~SetUpCtx()
	{
		if (ctx.groups)
			for (uint32_t g = 0; g < group_slot_count(&ctx); g++)
				free(ctx.groups[g]);
		free(ctx.groups);
		free(ctx.root_fhandle);
		if (ctx.root_fd >= 0)
			close(ctx.root_fd);
		if (ctx.fs)
			ext2fs_close(ctx.fs);
	}
	SetUpCtx(const SetUpCtx &) = delete;
	SetUpCtx &operator=(const SetUpCtx &) = delete;

private:
	std::vector<std::string> args_;
};

// The process-wide settings of a run (what the command line sets, the
// counters the passes add to) and the seam table, saved when a test starts
// and put back when it ends, whatever it or a whole run in this process
// changed, also when it fails half-way.
#pragma once
#include <vector>
#include <gtest/gtest.h>
#include "quillfold.h"

inline std::vector<unsigned long long *> run_counters()
{
	return {&total_spextents, &scanned_inodes,       &scanned_dirs,    &scanned_files,
		&scanned_extents, &scanned_blocks,       &ief_candidates,  &ief_candidate_blocks,
		&iaf_inodes,      &iaf_blocks,           &ief_done_inodes, &ief_done_blocks,
		&vanished_entries, &unmovable_block_mapped, &unmovable_journal_data};
}

class SavedSettings {
public:
	SavedSettings()
	{
		for (unsigned long long *c : run_counters())
			counters_.push_back(*c);
	}
	~SavedSettings()
	{
		debug_flags = debug_flags_;
		verbose = verbose_;
		show_stats = show_stats_;
		run_uid = run_uid_;
		start_time = start_time_;
		old_time = old_time_;
		keep_going = keep_going_;
		progress_requested = progress_requested_;
		sa_batch_limit = sa_batch_limit_;
		space_aware_summary = space_aware_summary_;
		size_t i = 0;
		for (unsigned long long *c : run_counters())
			*c = counters_[i++];
		qf_sys = seam_;
	}
	SavedSettings(const SavedSettings &) = delete;
	SavedSettings &operator=(const SavedSettings &) = delete;

private:
	uint32_t debug_flags_ = debug_flags;
	int verbose_ = verbose;
	int show_stats_ = show_stats;
	uint32_t run_uid_ = run_uid;
	struct timeval start_time_ = start_time;
	uint32_t old_time_ = old_time;
	int keep_going_ = keep_going;
	int progress_requested_ = progress_requested;
	uint64_t sa_batch_limit_ = sa_batch_limit;
	int space_aware_summary_ = space_aware_summary;
	std::vector<unsigned long long> counters_;
	struct sys_ops seam_ = qf_sys;
};

// The base of the defragmenter's fixtures that touch the settings or the
// seam: every test leaves them as it found them.
class SettingsTest : public ::testing::Test {
private:
	SavedSettings saved_;
};

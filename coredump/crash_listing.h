// The crash records in words: the system log's line for each crash, the
// listing of a directory's crashes (--list) and one crash told in full
// (--info). Everything the crashed process chose (names, paths, the command
// line) is shown with printable() so that it cannot act on a terminal.
#pragma once

#include "crash_record.h"

#include <ostream>
#include <string>

namespace Skelvane {

// "seg[4242] uid 1000 killed by SIGSEGV at crash (seg+0x1139); <outcome>"
std::string crashLogLine(const CrashRecord &record, const std::string &outcome);

// One line per crash in dir, oldest first, under a line of headings: time,
// pid, uid, signal, executable, kept and full size. Crashes with a record
// and cores without one are listed alike. false with the reason in why
// when dir cannot be read.
bool listCrashes(const std::string &dir, std::ostream &out, std::string &why);

// The record of a core (path is the core or its record) in words, with
// each thread's frame. A core without a record is read itself, for what
// its notes say. false with the reason in why when neither can be read.
bool describeCrash(const std::string &path, std::ostream &out, std::string &why);

// The record told in words, as describeCrash prints it.
void describeRecord(const CrashRecord &record, std::ostream &out);

} // namespace Skelvane

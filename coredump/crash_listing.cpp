#include "crash_listing.h"

#include "record_builder.h"
#include "signal_names.h"
#include "text_form.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Skelvane {

namespace {

std::string hexOf(uint64_t v)
{
	char buf[24];
	snprintf(buf, sizeof(buf), "0x%llx", (unsigned long long)v);
	return buf;
}

std::string baseName(const std::string &path)
{
	size_t slash = path.rfind('/');
	return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string moduleName(const RecordModule &m)
{
	return printable(baseName(m.path.empty() ? m.file : m.path));
}

// "crash+0x4 (seg+0x1139)", "seg+0x1139", or the bare pc.
std::string frameInWords(const CrashRecord &r, const RecordThread &t, bool functionOffset)
{
	std::string where;
	if (t.module >= 0 && (size_t)t.module < r.modules.size())
		where = moduleName(r.modules[t.module]) + "+" + hexOf(t.moduleOffset);
	if (t.function.empty())
		return where.empty() ? hexOf(t.pc) : where;
	std::string f = printable(t.function);
	if (functionOffset && t.functionOffset)
		f += "+" + hexOf(t.functionOffset);
	return where.empty() ? f : f + " (" + where + ")";
}

bool endsWith(const std::string &s, const std::string &tail)
{
	return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A record file, read only when it is a regular file of a record's size;
// a link to one is followed only when follow is set.
bool readRecordAt(int dirFd, const char *name, bool follow, CrashRecord &r, std::string &why)
{
	int fd = openat(dirFd, name, O_RDONLY | (follow ? 0 : O_NOFOLLOW) | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		why = strerror(errno);
		return false;
	}
	struct stat st;
	std::string text;
	bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (unsigned long long)st.st_size <= kMaxRecordFile;
	if (ok) {
		text.resize((size_t)st.st_size);
		size_t have = 0;
		while (have < text.size()) {
			ssize_t n = read(fd, &text[have], text.size() - have);
			if (n < 0 && errno == EINTR)
				continue;
			if (n <= 0)
				break;
			have += (size_t)n;
		}
		text.resize(have);
	} else {
		why = "not a regular file of a record's size";
	}
	close(fd);
	return ok && recordFromJson(text, r, why);
}

// "core.<comm>.<pid>.<time>": the comm, pid and time, the numbers counted
// from the end, since the comm may hold dots.
void idsOfName(const std::string &stem, std::string &comm, long &pid, long long &time)
{
	size_t last = stem.rfind('.');
	size_t before = last == std::string::npos || last <= 5 ? std::string::npos : stem.rfind('.', last - 1);
	if (before == std::string::npos || before < 4)
		return;
	comm = stem.substr(5, before > 5 ? before - 5 : 0);
	std::string p = stem.substr(before + 1, last - before - 1), t = stem.substr(last + 1);
	if (!p.empty() && p.size() < 12 && p.find_first_not_of("0123456789") == std::string::npos)
		pid = std::stol(p);
	if (!t.empty() && t.size() < 18 && t.find_first_not_of("0123456789") == std::string::npos)
		time = std::stoll(t);
}

struct Listed {
	std::string stem;
	bool hasRecord = false, badRecord = false, hasCore = false;
	CrashRecord record;
	std::string comm;
	unsigned long long coreBytes = 0;
	long pid = 0;
	long long time = 0;
};

} // namespace

std::string crashLogLine(const CrashRecord &r, const std::string &outcome)
{
	std::string s = printable(r.comm) + "[" + std::to_string(r.pid) + "]";
	if (r.hasIds)
		s += " uid " + std::to_string(r.uid);
	s += r.hasSignal ? " killed by " + signalName(r.signal) : " crashed";
	if (const RecordThread *t = r.signalledThread())
		s += " at " + frameInWords(r, *t, false);
	return s + "; " + outcome;
}

bool listCrashes(const std::string &dir, std::ostream &out, std::string &why)
{
	int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	DIR *d = dirFd >= 0 ? fdopendir(dirFd) : nullptr;
	if (!d) {
		why = "cannot read " + dir + ": " + strerror(errno);
		if (dirFd >= 0)
			close(dirFd);
		return false;
	}
	std::map<std::string, Listed> byStem;
	while (dirent *e = readdir(d)) {
		std::string n = e->d_name;
		struct stat st;
		if (n.compare(0, 5, "core.") != 0 || fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
		    !S_ISREG(st.st_mode))
			continue;
		bool isRecord = endsWith(n, ".json");
		std::string stem = isRecord ? n.substr(0, n.size() - 5) : n;
		Listed &l = byStem[stem];
		l.stem = stem;
		if (isRecord) {
			std::string ignored;
			l.hasRecord = true;
			l.badRecord = !readRecordAt(dirFd, e->d_name, false, l.record, ignored);
		} else {
			l.hasCore = true;
			l.coreBytes = (unsigned long long)st.st_size;
		}
	}
	closedir(d);

	std::vector<Listed> rows;
	for (auto &b : byStem) {
		Listed l = b.second;
		idsOfName(l.stem, l.comm, l.pid, l.time);
		if (l.hasRecord && !l.badRecord) {
			l.pid = l.record.pid;
			l.time = l.record.time;
		}
		rows.push_back(l);
	}
	std::sort(rows.begin(), rows.end(), [](const Listed &a, const Listed &b) {
		if (a.time != b.time)
			return a.time < b.time;
		return a.pid != b.pid ? a.pid < b.pid : a.stem < b.stem;
	});
	if (rows.empty())
		return true;

	std::vector<std::vector<std::string> > table = {{"TIME", "PID", "UID", "SIGNAL", "EXECUTABLE", "KEPT", "FULL"}};
	for (auto &l : rows) {
		const CrashRecord &r = l.record;
		bool good = l.hasRecord && !l.badRecord;
		std::string exe;
		if (l.badRecord)
			exe = "(record unreadable)";
		else if (good)
			exe = printable(!r.executable.empty() ? r.executable : r.comm);
		else
			exe = printable(l.comm.empty() ? l.stem : l.comm);
		table.push_back({timeInWords(l.time), std::to_string(l.pid),
				 good && r.hasIds ? std::to_string(r.uid) : "-",
				 good && r.hasSignal ? signalName(r.signal) : "-", exe,
				 l.hasCore ? sizeInWords(l.coreBytes) : "-",
				 good && r.fullSize ? sizeInWords(r.fullSize) : "-"});
	}
	std::vector<size_t> width(table[0].size(), 0);
	for (auto &row : table)
		for (size_t i = 0; i < row.size(); i++)
			width[i] = std::max(width[i], row[i].size());
	for (auto &row : table) {
		std::string line;
		for (size_t i = 0; i < row.size(); i++) {
			line += row[i];
			if (i + 1 < row.size())
				line += std::string(width[i] - row[i].size() + 2, ' ');
		}
		out << line << "\n";
	}
	return true;
}

void describeRecord(const CrashRecord &r, std::ostream &out)
{
	out << "Crash of " << printable(r.comm) << " (pid " << r.pid;
	if (r.pidInNs)
		out << ", " << r.pidInNs << " in its PID namespace";
	out << ")\n";
	out << "  time:        " << timeInWords(r.time) << "\n";
	if (r.hasSignal) {
		out << "  signal:      " << signalName(r.signal) << " (" << r.signal << ")";
		std::string code = signalCodeName(r.signal, r.signalCode);
		out << ", code " << (code.empty() ? "" : code + " ") << "(" << r.signalCode << ")";
		if (r.hasAddress)
			out << ", fault address " << hexOf(r.address);
		if (r.hasSender)
			out << ", sent by pid " << r.senderPid << " (uid " << r.senderUid << ")";
		out << "\n";
	}
	if (r.hasIds)
		out << "  user:        uid " << r.uid << ", gid " << r.gid << "\n";
	if (!r.executable.empty())
		out << "  executable:  " << printable(r.executable) << "\n";
	if (!r.cmdline.empty()) {
		out << "  command:    ";
		for (auto &a : r.cmdline) {
			std::string p = printable(a);
			if (p.empty() || p.find_first_of(" '\"") != std::string::npos)
				p = "'" + p + "'";
			out << " " << p;
		}
		out << (r.cmdlineCut ? " [cut]" : "") << "\n";
	}
	if (!r.cgroup.empty()) {
		// a line of its own for each of the file's lines
		out << "  cgroup:     ";
		for (size_t at = 0, n = 0; at <= r.cgroup.size(); n++) {
			size_t end = std::min(r.cgroup.find('\n', at), r.cgroup.size());
			out << (n ? "\n              " : "") << " " << printable(r.cgroup.substr(at, end - at));
			at = end + 1;
		}
		out << "\n";
	}
	if (!r.coreFile.empty())
		out << "  core:        " << printable(r.coreFile) << " (" << sizeInWords(r.coreSize) << " of a "
		    << sizeInWords(r.fullSize) << " core)"
		    << (r.coreMissing.empty() ? "" : ", in part: missing " + printable(r.coreMissing)) << "\n";
	else if (!r.notKept.empty())
		out << "  core:        none: " << printable(r.notKept)
		    << (r.fullSize ? " (the full core: " + sizeInWords(r.fullSize) + ")" : "") << "\n";
	if (r.notKeptBefore)
		out << "  before it:   " << r.notKeptBefore
		    << " crashes of the same executable not kept, beyond the rate\n";
	if (!r.modules.empty()) {
		out << "Modules:\n";
		for (auto &m : r.modules) {
			out << "  " << (m.hasBase ? hexOf(m.base) : std::string("-")) << "  "
			    << printable(m.path.empty() ? m.file : m.path);
			if (!m.buildId.empty())
				out << "  build ID " << printable(m.buildId);
			out << "\n";
			if (!m.file.empty() && m.file != m.path)
				out << "      mapped from " << printable(m.file) << "\n";
			if (!m.unreadable.empty())
				out << "      not read: " << printable(m.unreadable) << "\n";
		}
		if (r.modulesLeftOut)
			out << "  (" << r.modulesLeftOut << " more not listed)\n";
	}
	if (!r.threads.empty()) {
		out << "Threads:\n";
		for (auto &t : r.threads) {
			std::string id = std::to_string(t.tid);
			if (t.tidInNs)
				id += " (" + std::to_string(t.tidInNs) + ")";
			out << "  " << (t.signalled ? "* " : "  ") << id << "  " << frameInWords(r, t, true) << "\n";
		}
		if (r.threadsLeftOut)
			out << "  (" << r.threadsLeftOut << " more not listed)\n";
	}
}

bool describeCrash(const std::string &path, std::ostream &out, std::string &why)
{
	CrashRecord r;
	std::string recordWhy;
	bool isRecord = endsWith(path, ".json");
	const std::string recordPath = isRecord ? path : path + ".json";
	if (readRecordAt(AT_FDCWD, recordPath.c_str(), true, r, recordWhy)) {
		describeRecord(r, out);
		return true;
	}
	if (isRecord) {
		why = "cannot read the record " + path + ": " + recordWhy;
		return false;
	}
	// no record beside it: what the core's own notes say
	boost::shared_ptr<Reader> reader = Reader::openCoreFile(path.c_str(), why);
	if (!reader)
		return false;
	recordCore(r, *reader, nullptr);
	if (!r.hasSignal && r.threads.empty() && !r.pid) {
		why = path + " holds neither a crash record nor the notes of a core";
		return false;
	}
	struct stat st;
	if (stat(path.c_str(), &st) == 0)
		r.fullSize = (unsigned long long)st.st_size;
	describeRecord(r, out);
	return true;
}

} // namespace Skelvane

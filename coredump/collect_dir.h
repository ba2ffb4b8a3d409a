// The directory the core handler writes into. Cores hold other users'
// memory, so it must belong to this user and be writable by nobody else,
// and nothing planted in it is followed or overwritten; a file appears in it
// only once complete.
#pragma once

#include "collect_limits.h"

#include <string>
#include <sys/stat.h>
#include <vector>

namespace Skelvane {

class CollectDir;

// One file written into the directory: created afresh under a temporary
// name ("." + name + ".tmp", mode 0600), its room reserved before anything
// is written, synced, and only then given its name. Whatever is not
// published is removed.
class OutputFile {
public:
	explicit OutputFile(CollectDir &dir);
	~OutputFile();

	// Refused when anything of that name exists, unless replacing: then
	// the file is to take the place of the one of that name.
	bool create(const std::string &name, std::string &why, bool replacing = false);
	// Allocates bytes for the contents, so that writing them cannot run
	// out of space half way. A file system that cannot reserve is
	// written to as it is.
	bool reserve(unsigned long long bytes, std::string &why);
	int getTempFd() const { return tempFd; }
	std::string getTempPath() const;
	const std::string &getName() const { return name; }
	// Writes all of bytes at the start of the file and cuts it there.
	bool writeWhole(const std::string &bytes, std::string &why);
	// Syncs the file and gives it its name, never over a file that appeared
	// under that name meanwhile, unless replace: then over the file of
	// that name, which the caller wrote before.
	bool publish(std::string &why, bool replace = false);
	// Removes the temporary file, and the published file if it is still
	// the one written.
	void abandon();

private:
	friend class CollectDir;
	OutputFile(const OutputFile &) = delete;
	OutputFile &operator=(const OutputFile &) = delete;
	// Closes and removes the temporary file, if any.
	void discard();

	CollectDir &dir;
	int tempFd = -1;
	std::string name, tempName;
	struct stat written = {}; // the file once synced
};

// The file system a directory lies on: its size and what is free for
// ordinary users, in bytes.
struct FsSpace {
	unsigned long long size = 0, free = 0, block = 4096;
};

class CollectDir {
public:
	explicit CollectDir(const std::string &path);
	// Removes a temporary file that was not published.
	~CollectDir();

	// Creates the directory (mode 0700) where it is missing and opens it
	// without following a link; refused, with the reason in why, when it
	// belongs to another user or others may write to it.
	bool open(std::string &why);

	// The directory's main file (the stripped core), as OutputFile does it.
	bool create(const std::string &name, std::string &why) { return main.create(name, why); }
	bool reserve(unsigned long long bytes, std::string &why) { return main.reserve(bytes, why); }
	int getTempFd() const { return main.getTempFd(); }
	std::string getTempPath() const { return main.getTempPath(); }
	bool publish(std::string &why) { return main.publish(why); }
	void abandon() { main.abandon(); }

	// Collectors that run at once take turns at everything that reads and
	// changes the directory's state (its space, the rate state): the lock is
	// the directory's own flock, held until unlock or the end.
	bool lock(std::string &why);
	void unlock();

	// The crashes kept, each a core and its record ("core.*" and
	// "core.*.json" regular files of one name), oldest first.
	std::vector<StoredCrash> listCrashes() const;
	// Removes the regular files of a crash.
	void removeCrash(const std::string &stem);
	// Removes all but the newest `keep` crashes; never `current`.
	void prune(unsigned long keep, const std::string &current);
	// Removes the temporary files of collectors that were killed while
	// writing: with the lock held, nobody else is writing.
	void removeStaleFiles();
	bool spaceOf(FsSpace &out) const;
	bool exists(const std::string &name) const;

	// A small state file of the directory, read whole when it is a regular
	// file of at most limit bytes; "" otherwise.
	std::string readState(const std::string &name, size_t limit) const;
	// Replaces it, through a temporary file and a rename, so that a reader
	// finds the old state or the new one, whole.
	bool writeState(const std::string &name, const std::string &text, std::string &why);

	const std::string &getPath() const { return path; }
	int getFd() const { return dirFd; }

private:
	CollectDir(const CollectDir &) = delete;
	CollectDir &operator=(const CollectDir &) = delete;

	std::string path;
	int dirFd = -1;
	bool locked = false;
	OutputFile main;
};

} // namespace Skelvane

// The directory the core handler writes into. Cores hold other users'
// memory, so it must belong to this user and be writable by nobody else,
// and nothing planted in it is followed or overwritten; a file appears in it
// only once complete.
#pragma once

#include <string>
#include <sys/stat.h>

namespace Skelvane {

class CollectDir {
public:
	explicit CollectDir(const std::string &path);
	// Removes a temporary file that was not published.
	~CollectDir();

	// Creates the directory (mode 0700) where it is missing and opens it
	// without following a link; refused, with the reason in why, when it
	// belongs to another user or others may write to it.
	bool open(std::string &why);
	// Starts the file `name`: refused when anything of that name exists;
	// otherwise "." + name + ".tmp" is created afresh (mode 0600) for the
	// contents.
	bool create(const std::string &name, std::string &why);
	// The temporary file, while it is being written, and its path.
	int getTempFd() const { return tempFd; }
	std::string getTempPath() const { return path + "/" + tempName; }
	// Syncs the temporary file and gives it its name, never over a file
	// that appeared under that name meanwhile.
	bool publish(std::string &why);
	// Removes the temporary file, and the published file if it is still
	// the one written.
	void abandon();
	// Removes all but the newest `keep` stripped cores (the regular files
	// named "core.*"); never the file just published.
	void prune(unsigned long keep);

	const std::string &getPath() const { return path; }

private:
	CollectDir(const CollectDir &) = delete;
	CollectDir &operator=(const CollectDir &) = delete;

	// Closes and removes the temporary file, if any.
	void discard();

	std::string path;
	int dirFd = -1;
	int tempFd = -1;
	std::string name, tempName;
	struct stat written = {}; // the file once synced
};

} // namespace Skelvane

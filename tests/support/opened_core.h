// A hand-built core (or any bytes) written to a fresh directory and opened by
// the stripper's reader: where the reader and builder tests start from.
#pragma once

#include "hand_core.h"
#include "reader.h"
#include "test_support.h"

#include <boost/shared_ptr.hpp>
#include <fstream>
#include <string>

namespace handcore {

struct Opened {
	testsupport::TempDir dir{"skvcore"};
	std::string path = dir.path() + "/core";
	boost::shared_ptr<Skelvane::Reader> reader; // null when the reader refused the file
	std::string why;                            // why it refused it

	explicit Opened(const CoreImage &c, size_t truncateTo = SIZE_MAX)
	{
		c.write(path, truncateTo);
		reader = Skelvane::Reader::openCoreFile(path.c_str(), why);
	}
	explicit Opened(const Bytes &bytes)
	{
		std::ofstream(path, std::ios::binary).write((const char *)bytes.data(), (std::streamsize)bytes.size());
		reader = Skelvane::Reader::openCoreFile(path.c_str(), why);
	}
};

} // namespace handcore

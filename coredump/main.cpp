// skelvane <core> > <stripped core>
#include "core.h"

#include <iostream>

int main(int argc, char **argv)
{
	if (argc <= 1) {
		// An empty argument vector has no invocation name to show.
		const char *self = argc > 0 && argv[0] ? argv[0] : "skelvane";
		std::cerr << "Usage: " << self << " <source path> [> <dest path>]" << std::endl;
		return -1;
	}
	int result = 0;
	{
		Skelvane::Core core;
		if (!core.read(argv[1])) {
			std::cerr << "Coredump file read failed." << std::endl;
			result = -1;
		} else {
			std::cout << core;
			// Flushed before the test: a small output still sitting in the
			// buffer would otherwise fail only at exit, after a status of 0.
			std::cout.flush();
			if (std::cout.rdstate() & (std::ios::failbit | std::ios::badbit)) {
				std::cerr << "Failed to write output." << std::endl;
				result = -1;
			}
		}
	}
	return result;
}

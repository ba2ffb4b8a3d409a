// Runs the fuzz harness once on every file of the corpus directories given,
// in name order: the committed corpus is replayed the same way on every test
// run and in every build. A crash or a sanitizer report fails the run.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
	namespace fs = std::filesystem;
	std::vector<std::string> files;
	for (int i = 1; i < argc; i++) {
		std::error_code ec;
		for (fs::directory_iterator it(argv[i], ec), end; !ec && it != end; it.increment(ec))
			if (it->is_regular_file())
				files.push_back(it->path().string());
		if (ec) {
			fprintf(stderr, "%s: %s\n", argv[i], ec.message().c_str());
			return 1;
		}
	}
	if (files.empty()) {
		fprintf(stderr, "no inputs to replay\n");
		return 1;
	}
	std::sort(files.begin(), files.end());
	LLVMFuzzerInitialize(&argc, &argv);
	for (auto &f : files) {
		std::ifstream in(f, std::ios::binary);
		if (!in) {
			fprintf(stderr, "%s: cannot open\n", f.c_str());
			return 1;
		}
		std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
		LLVMFuzzerTestOneInput(data.data(), data.size());
	}
	printf("%zu inputs replayed\n", files.size());
	return 0;
}

// Writes the hand-built cores that seed the fuzzer into the given directory.
#include "../hand_core.h"

#include <iostream>
#include <sys/stat.h>

using handcore::CoreImage;
using handcore::Layout;

int main(int argc, char **argv)
{
	if (argc != 2) {
		std::cerr << "usage: make_seeds <dir>\n";
		return 2;
	}
	std::string dir = argv[1];
	mkdir(dir.c_str(), 0755);
	int n = 0;
	auto save = [&](const CoreImage &c, size_t cut = SIZE_MAX) {
		c.write(dir + "/seed" + std::to_string(n++), cut);
	};
	Layout L;
	save(handcore::standardCore(L));
	L.pie = true;
	save(handcore::standardCore(L));
	L.threads = 0;
	L.zeroRMap = true;
	save(handcore::standardCore(L));
	Layout none;
	none.withAuxv = false;
	save(handcore::standardCore(none));
	Layout nodyn;
	nodyn.withDynamic = false;
	save(handcore::standardCore(nodyn));
	// a chain that loops
	CoreImage loop = handcore::standardCore();
	link_map m;
	memset(&m, 0, sizeof(m));
	m.l_name = (char *)Layout::nameAddr(0);
	m.l_next = (link_map *)Layout::linkmapAddr(0);
	loop.put(Layout::linkmapAddr(0), m);
	save(loop);
	// short status descriptor, stack mapping without alignment
	CoreImage odd = handcore::standardCore();
	odd.addPrStatus(Layout::threadSp(0), 40);
	handcore::segAt(odd, Layout::kStack).ph.p_align = 0;
	save(odd);
	// a truncated core
	CoreImage full = handcore::standardCore();
	save(full, full.bytes().size() / 2);
	std::cout << n << " seeds in " << dir << "\n";
	return 0;
}

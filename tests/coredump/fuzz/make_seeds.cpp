// Writes the hand-built cores the fuzz corpus (tests/coredump/fuzz/corpus)
// started from into the given directory.
#include "hand_core.h"

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
	auto save = [&](const std::string &name, const CoreImage &c, size_t cut = SIZE_MAX) {
		c.write(dir + "/" + name, cut);
		n++;
	};
	Layout L;
	save("standard", handcore::standardCore(L));
	L.pie = true;
	save("pie", handcore::standardCore(L));
	L.threads = 0;
	L.zeroRMap = true;
	save("no-threads-no-objects", handcore::standardCore(L));
	Layout none;
	none.withAuxv = false;
	save("no-auxv", handcore::standardCore(none));
	Layout nodyn;
	nodyn.withDynamic = false;
	save("static", handcore::standardCore(nodyn));
	// a chain that loops
	CoreImage loop = handcore::standardCore();
	handcore::patchLinkmap(loop, 0, [](link_map &m) {
		m = link_map();
		m.l_name = (char *)Layout::nameAddr(0);
		m.l_next = (link_map *)Layout::linkmapAddr(0);
	});
	save("looping-chain", loop);
	// short status descriptor, stack mapping without alignment
	CoreImage odd = handcore::standardCore();
	odd.addPrStatus(Layout::threadSp(0), 40);
	handcore::segAt(odd, Layout::kStack).ph.p_align = 0;
	save("short-status-unaligned-stack", odd);
	// a truncated core
	CoreImage full = handcore::standardCore();
	save("truncated", full, full.bytes().size() / 2);
	// a thread that overflowed into a guard page below its stack, and one
	// whose stack pointer is nowhere
	CoreImage over = handcore::standardCore();
	over.map(Layout::kStack - 0x1000, 0x1000, false).ph.p_flags = 0;
	over.addPrStatus(Layout::kStack - 0x800);
	over.addPrStatus(0x123456789ull);
	save("overflowed-and-lost-stacks", over);
	// a thread in a handler on an alternate stack, interrupted on a stack
	// that was an alternate one too, interrupted in turn on its own stack;
	// small, so that the fuzzer's length limit leaves it whole
	CoreImage alt = handcore::standardCore();
	const uint64_t code = 0x7ffff7200000ull, a = 0x7fffe0000000ull, b = 0x7fffc0000000ull, own = 0x7fffd0000000ull;
	alt.map(code, 0x1000, false).ph.p_flags = PF_R | PF_X;
	alt.map(a, 0x1000);
	alt.map(b, 0x1000);
	alt.map(own, 0x2000);
	handcore::SignalFrame f;
	f.at = a + 0x1000 - 0xb88;
	f.pretcode = code + 0x50;
	f.altSp = a;
	f.altSize = 0x1000;
	f.fpstate = f.at + 0x1c8;
	handcore::SignalFrame g = f;
	g.at = b + 0x1000 - 0xb88;
	g.altSp = b;
	g.fpstate = g.at + 0x1c8;
	g.rsp = own + 0x1010;
	f.rsp = g.at - 0x100;
	handcore::putSignalFrame(alt, f);
	handcore::putSignalFrame(alt, g);
	alt.addPrStatus(f.at - 0x200, sizeof(elf_prstatus), 102);
	save("alternate-signal-stacks", alt);
	// the notes a crash record reads: signal, process, mapped files
	CoreImage crash = handcore::standardCore();
	crash.setThreadPc(0, 0x400123);
	crash.addSigInfo(11, 1, 0x1234);
	crash.addPrPsInfo(1000, 100, 9, "seg", "./seg --fast");
	crash.addFileNote({{0x400000, 0x402000, 0, "/usr/bin/seg"}, {0x600000, 0x601000, 0x2000, "/usr/bin/seg"}});
	save("crash-notes", crash);
	std::cout << n << " seeds in " << dir << "\n";
	return 0;
}

// A thread inside a signal handler on an alternate stack: the stack the
// signal interrupted is found through the kernel's signal frame, and a frame
// that lies about itself, or points where the core has nothing, adds nothing
// and is never read beyond the memory the core holds. Hand-built cores, read
// in the file mode and as a core stream.
#include "core.h"
#include "hand_core.h"
#include "test_support.h"

#include <csignal>
#include <sstream>
#include <sys/mman.h>
#include <unistd.h>

using handcore::CoreImage;
using handcore::Layout;
using handcore::SignalFrame;

namespace {

const uint64_t kCode = 0x7ffff7200000ull;   // the C library's code, not dumped
const uint64_t kAlt = 0x7fffe0000000ull;    // the third thread's alternate stack
const uint64_t kAlt2 = 0x7fffc0000000ull;   // another alternate stack
const uint64_t kWorker = 0x7fffd0000000ull; // the third thread's own stack
const uint64_t kAltSize = 0x10000, kWorkerSize = 0x8000;
// Where the kernel puts the frame entering an alternate stack, below an FP
// state of some 2.5 KiB, and where the handler's stack pointer is by the
// time the thread dies.
uint64_t frameBelow(uint64_t top) { return top - 0xb88; }
const uint64_t kFrame = frameBelow(kAlt + kAltSize), kSp = kFrame - 0x200;

typedef std::vector<std::pair<uint64_t, uint64_t> > Ranges;

// The standard core with a third thread in a handler on its alternate stack,
// interrupted in kWorker.
SignalFrame standardFrame()
{
	SignalFrame f;
	f.at = kFrame;
	f.pretcode = kCode + 0x50;
	f.altSp = kAlt;
	f.altSize = kAltSize;
	f.rsp = kWorker + 0x6010;
	f.rip = 0x400123;
	f.fpstate = kFrame + 0x1c8;
	return f;
}

CoreImage altStackCore()
{
	CoreImage c = handcore::standardCore();
	c.map(kCode, 0x1000, false).ph.p_flags = PF_R | PF_X;
	c.map(kAlt, kAltSize);
	c.map(kAlt2, kAltSize);
	c.map(kWorker, kWorkerSize);
	c.addPrStatus(kSp, sizeof(elf_prstatus), 102);
	return c;
}

// The stacks a core's stripped version keeps, in its order.
Ranges stacks(const Skelvane::Core &core)
{
	Ranges r;
	size_t i = 0;
	for (auto &s : core.segments) {
		// the note, the dynamic section, r_debug and three objects come first
		if (i++ < 9)
			continue;
		Elf64_Phdr h = s->getHeader(0);
		r.push_back({h.p_vaddr, h.p_vaddr + h.p_filesz});
	}
	return r;
}

std::string bytesOf(const Skelvane::Core &core)
{
	std::ostringstream os;
	os << core;
	return os.str();
}

} // namespace

TEST(SignalFrame, InterruptedStacksAreKeptOnlyThroughSoundFrames)
{
	const Ranges own = {{Layout::kStack + 0x3000, Layout::kStack + 0x4000},
			    {Layout::kStack + 0x2000, Layout::kStack + 0x4000},
			    {kSp & ~0xfffull, kAlt + kAltSize}};
	const Ranges worker = {{kWorker + 0x6000, kWorker + kWorkerSize}};
	const struct Case {
		const char *what;
		void (*shape)(CoreImage &, SignalFrame &);
		Ranges more; // kept beyond the threads' own stacks
	} cases[] = {
		{"a frame as the kernel builds it", [](CoreImage &, SignalFrame &) {}, worker},
		{"interrupted in the gap below a stack: an overflow",
		 [](CoreImage &, SignalFrame &f) { f.rsp = kWorker - 0x100; }, {{kWorker, kWorker + kWorkerSize}}},
		{"the interrupted stack was an alternate one too",
		 [](CoreImage &c, SignalFrame &f) {
			 SignalFrame g = standardFrame();
			 g.at = frameBelow(kAlt2 + kAltSize);
			 g.altSp = kAlt2;
			 g.fpstate = g.at + 0x1c8;
			 handcore::putSignalFrame(c, g);
			 f.rsp = g.at - 0x1300;
		 },
		 {{(frameBelow(kAlt2 + kAltSize) - 0x1300) & ~0xfffull, kAlt2 + kAltSize}, worker[0]}},
		{"two alternate stacks that lead to each other",
		 [](CoreImage &c, SignalFrame &f) {
			 SignalFrame g = standardFrame();
			 g.at = frameBelow(kAlt2 + kAltSize);
			 g.altSp = kAlt2;
			 g.fpstate = g.at + 0x1c8;
			 g.rsp = kSp + 0x10;
			 handcore::putSignalFrame(c, g);
			 f.rsp = g.at - 0x1300;
		 },
		 {{(frameBelow(kAlt2 + kAltSize) - 0x1300) & ~0xfffull, kAlt2 + kAltSize}}},
		{"uc_stack does not hold the stack pointer",
		 [](CoreImage &, SignalFrame &f) {
			 f.altSp = kSp + 0x10;
			 f.altSize = kAlt + kAltSize - f.altSp;
		 },
		 {}},
		{"uc_stack does not hold the frame", [](CoreImage &, SignalFrame &f) { f.altSize = kFrame + 0x80 - kAlt; }, {}},
		{"an alternate stack smaller than the kernel allows",
		 [](CoreImage &, SignalFrame &f) {
			 f.altSp = kSp - 0x100;
			 f.altSize = 1024;
		 },
		 {}},
		{"an alternate stack of 2 GiB",
		 [](CoreImage &, SignalFrame &f) {
			 f.altSize = 2ull << 30;
			 f.altSp = kAlt + kAltSize - f.altSize;
		 },
		 {}},
		{"an alternate stack that wraps the address space", [](CoreImage &, SignalFrame &f) { f.altSize = 0 - kAlt + 0x800; },
		 {}},
		{"flags no alternate stack has", [](CoreImage &, SignalFrame &f) { f.altFlags = SS_DISABLE; }, {}},
		{"a frame not where a call leaves the stack pointer", [](CoreImage &, SignalFrame &f) { f.at += 8; }, {}},
		{"a frame far below the alternate stack's top", [](CoreImage &, SignalFrame &f) { f.altSize += 0x20000; }, {}},
		{"a restorer that is no code", [](CoreImage &, SignalFrame &f) { f.pretcode = Layout::kData; }, {}},
		{"FP state saved below the frame", [](CoreImage &, SignalFrame &f) { f.fpstate = f.at - 0x100; }, {}},
		{"an interrupted stack pointer outside the core", [](CoreImage &, SignalFrame &f) { f.rsp = 0x123456789ull; },
		 {}},
		{"a stack pointer not dumped", [](CoreImage &, SignalFrame &f) { f.rsp = 0x7ffff7004000ull; }, {}},
		{"interrupted on the alternate stack itself", [](CoreImage &, SignalFrame &f) { f.rsp = kFrame + 0x400; }, {}},
		{"a frame cut off by the end of the dumped memory",
		 [](CoreImage &c, SignalFrame &f) {
			 // only the head fits: the alternate stack it names is sound
			 f.at = 0;
			 uint64_t at = kAlt + kAltSize - 0x78;
			 c.put(at, kCode + 0x50);
			 c.put(at + 8 + offsetof(ucontext_t, uc_stack.ss_sp), kAlt);
			 c.put(at + 8 + offsetof(ucontext_t, uc_stack.ss_size), kAltSize);
		 },
		 {}},
	};
	testsupport::TempDir dir("skvsigframe");
	std::string path = dir.path() + "/core";
	for (auto &cs : cases) {
		SCOPED_TRACE(cs.what);
		CoreImage c = altStackCore();
		SignalFrame f = standardFrame();
		cs.shape(c, f);
		if (f.at)
			handcore::putSignalFrame(c, f);
		Ranges want = own;
		want.insert(want.end(), cs.more.begin(), cs.more.end());

		c.write(path);
		Skelvane::Core fromFile;
		ASSERT_TRUE(fromFile.read(path.c_str()));
		EXPECT_EQ(stacks(fromFile), want);

		// the same through the collector's stream
		handcore::Bytes b = c.bytes();
		boost::shared_ptr<Skelvane::Memory> memory(new Skelvane::ImageMemory(b.data(), b.size()));
		int fd = memfd_create("stream", 0);
		ASSERT_EQ(write(fd, b.data(), b.size()), (ssize_t)b.size());
		lseek(fd, 0, SEEK_SET);
		Skelvane::Core fromStream;
		std::string why;
		EXPECT_TRUE(fromStream.collect(fd, memory, why)) << why;
		close(fd);
		EXPECT_TRUE(bytesOf(fromStream) == bytesOf(fromFile));
	}
}

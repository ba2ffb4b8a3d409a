// Programs that the core tests crash, built from source in a test's
// directory.
#pragma once

#include "test_support.h"

#include <cstdio>
#include <string>
#include <vector>

namespace crashprog {

// Four workers park at different call depths; then the main thread crashes,
// either here or, given a library path, inside a library it dlopens.
inline const char kProgram[] = R"(
#include <atomic>
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>
static std::atomic<int> ready{0};
int *volatile null_target;
extern "C" {
__attribute__((noinline)) void park(void) { ready++; for (;;) pause(); }
__attribute__((noinline)) void level_c(int d) { if (d > 0) level_c(d - 1); else park(); asm volatile(""); }
__attribute__((noinline)) void level_b(int d) { level_c(d); asm volatile(""); }
__attribute__((noinline)) void level_a(int d) { level_b(d); asm volatile(""); }
__attribute__((noinline)) void crash_now(void) { *null_target = 1; }
}
static void *worker(void *arg) { level_a((int)(long)arg); return nullptr; }
int main(int argc, char **argv) {
	pthread_t t[4];
	for (long i = 0; i < 4; i++)
		pthread_create(&t[i], nullptr, worker, (void *)(i * 2));
	while (ready.load() < 4)
		usleep(1000);
	if (argc > 1) {
		void *h = dlopen(argv[1], RTLD_NOW);
		if (!h) return 2;
		void (*entry)(int) = (void (*)(int))dlsym(h, "extra_entry");
		if (!entry) return 3;
		entry(3);
	}
	crash_now();
	return 1;
}
)";

inline const char kLibrary[] = R"(
volatile int *volatile extra_target;
__attribute__((noinline)) void extra_deep(int d) { if (d > 0) extra_deep(d - 1); else *extra_target = 7; asm volatile(""); }
void extra_entry(int d) { extra_deep(d); asm volatile(""); }
)";

// Two threads idle while one recurses with 64 KiB frames until its stack
// runs out: the main thread (its stack limit lowered to keep the core small)
// or, built with -DIN_WORKER, a thread with a 1 MiB stack. Probing each page
// of a frame makes the fault land right below the stack, never beyond it.
inline const char kOverflow[] = R"(
#include <atomic>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
static std::atomic<int> ready{0};
extern "C" {
__attribute__((noinline)) void idle(void) { ready++; for (;;) pause(); }
__attribute__((noinline)) int dive(int d) {
	volatile char frame[65536];
	frame[d & 0xffff] = (char)d;
	return dive(d + 1) + frame[(d * 7) & 0xffff];
}
}
static void *idler(void *) { idle(); return nullptr; }
static void *diver(void *) { return (void *)(long)dive(0); }
int main() {
	pthread_t t[3];
	for (int i = 0; i < 2; i++)
		pthread_create(&t[i], nullptr, idler, nullptr);
	while (ready.load() < 2)
		usleep(1000);
#ifdef IN_WORKER
	pthread_attr_t a;
	pthread_attr_init(&a);
	pthread_attr_setstacksize(&a, 1 << 20);
	pthread_create(&t[2], &a, diver, nullptr);
	pthread_join(t[2], nullptr);
	return 1;
#else
	struct rlimit rl;
	getrlimit(RLIMIT_STACK, &rl);
	rl.rlim_cur = 2 << 20;
	setrlimit(RLIMIT_STACK, &rl);
	return dive(0);
#endif
}
)";

// C: a worker parks a few calls deep while the main thread crashes. Built
// with -static or -static-pie it has no dynamic linker records to follow.
inline const char kTwoThreadsC[] = R"(
#include <pthread.h>
#include <unistd.h>
static volatile int ready;
int *volatile null_target;
__attribute__((noinline)) void park(void) { ready = 1; for (;;) pause(); }
__attribute__((noinline)) void level(int d) { if (d > 0) level(d - 1); else park(); __asm__ volatile(""); }
static void *worker(void *arg) { (void)arg; level(3); return 0; }
__attribute__((noinline)) void crash_now(void) { *null_target = 1; }
int main(void) {
	pthread_t t;
	pthread_create(&t, 0, worker, 0);
	while (!ready)
		usleep(1000);
	crash_now();
	return 1;
}
)";

// C: a worker thread with an alternate signal stack of its own faults ten
// calls deep; the SIGSEGV handler, running on the alternate stack, aborts,
// as crash reporters and language runtimes do. The main thread waits.
inline const char kAltStackC[] = R"(
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>
int *volatile null_target;
static void on_segv(int sig) { (void)sig; abort(); }
__attribute__((noinline)) void fault(void) { *null_target = 1; }
__attribute__((noinline)) void deep(int d) { if (d > 0) deep(d - 1); else fault(); __asm__ volatile(""); }
static void *worker(void *arg) {
	(void)arg;
	stack_t ss;
	ss.ss_size = 64 * 1024;
	ss.ss_sp = mmap(0, ss.ss_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	ss.ss_flags = 0;
	if (ss.ss_sp == MAP_FAILED || sigaltstack(&ss, 0) != 0)
		return 0;
	deep(9);
	return 0;
}
int main(void) {
	struct sigaction sa = {0};
	sa.sa_handler = on_segv;
	sa.sa_flags = SA_ONSTACK;
	sigaction(SIGSEGV, &sa, 0);
	pthread_t t;
	pthread_create(&t, 0, worker, 0);
	pthread_join(t, 0);
	return 1;
}
)";

// Builds a C program in dir with the given compiler options; gives the
// command line that crashes it.
inline std::vector<std::string> buildC(const std::string &d, const std::string &options, const char *program)
{
	FILE *f = fopen((d + "/prog.c").c_str(), "w");
	fputs(program, f);
	fclose(f);
	std::string exe = d + "/prog";
	testsupport::sh_ok("gcc -g -O1 -pthread " + options + " -o " + exe + " " + d + "/prog.c");
	return {exe};
}

// Builds a program (and, withLibrary, the library kProgram dlopens) in dir
// with the given compiler options; gives the command line that crashes it.
inline std::vector<std::string> build(const std::string &d, const std::string &options, bool withLibrary,
				      const char *program = kProgram)
{
	{
		FILE *f = fopen((d + "/prog.cpp").c_str(), "w");
		fputs(program, f);
		fclose(f);
	}
	std::string exe = d + "/prog";
	testsupport::sh_ok("g++ -g -O1 -pthread " + options + " -o " + exe + " " + d + "/prog.cpp");
	std::vector<std::string> args = {exe};
	if (withLibrary) {
		FILE *f = fopen((d + "/extra.c").c_str(), "w");
		fputs(kLibrary, f);
		fclose(f);
		testsupport::sh_ok("gcc -g -O1 -shared -fPIC -o " + d + "/libskvextra.so " + d + "/extra.c");
		args.push_back(d + "/libskvextra.so");
	}
	return args;
}

} // namespace crashprog

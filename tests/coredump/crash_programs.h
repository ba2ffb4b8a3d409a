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

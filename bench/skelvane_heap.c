// The program the skelvane benchmarks crash: four idle worker threads, a heap
// of argv[1] MiB with every page touched, then a write through a null
// pointer. Given argv[2], it first writes the crash time there (seconds since
// the epoch, with nanoseconds).
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
static volatile int ready;
static void *worker(void *arg) { (void)arg; __sync_fetch_and_add(&ready, 1); for (;;) pause(); return 0; }
int *volatile null_target;
int main(int argc, char **argv) {
	size_t mib = strtoul(argv[1], 0, 10);
	char *heap = malloc(mib << 20);
	for (size_t i = 0; i < (mib << 20); i += 4096) heap[i] = (char)i | 1;
	pthread_t t[4];
	for (int i = 0; i < 4; i++) pthread_create(&t[i], 0, worker, 0);
	while (ready < 4) usleep(1000);
	if (argc > 2) {
		struct timespec now;
		clock_gettime(CLOCK_REALTIME, &now);
		FILE *f = fopen(argv[2], "w");
		fprintf(f, "%ld.%09ld\n", (long)now.tv_sec, now.tv_nsec);
		fclose(f);
	}
	*null_target = heap[4096];
	return 0;
}

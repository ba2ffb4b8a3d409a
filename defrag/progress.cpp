// The --progress line. It lives on standard error and is redrawn in place
// with a carriage return; shorter text is padded with blanks over the longer
// one before it, so no terminal control sequence is needed.
//
// Output to the same terminal would otherwise land in the middle of the line.
// While the line is on, standard error (and standard output, when that is a
// terminal too) are replaced by streams that erase the line before they pass
// their bytes on, unchanged, to the same descriptor: every message of every
// pass gets this without knowing about the line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>
#include "progress.h"

#define PROGRESS_REDRAW_MS 100
#define PROGRESS_MAX_WIDTH 200

int progress_requested;

static struct {
	int active;
	uint32_t blocksize_bits;
	const char *pass;
	uint64_t files, files_total;
	uint64_t groups, groups_total;
	uint64_t moved_blocks;
	struct timespec started, drawn;
	size_t shown;   // columns of the line now on the terminal, 0 when none
	size_t width;   // the terminal's, less one so the line never wraps
	FILE *out, *err; // the streams replaced while the line is on
} pg;
static int at_exit_set;

// The bytes of buf written to fd, through interruptions: fewer on an error.
static size_t write_all(int fd, const char *buf, size_t len)
{
	size_t done = 0;
	while (done < len) {
		ssize_t n = write(fd, buf + done, len - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		done += (size_t)n;
	}
	return done;
}

static void put(const char *buf, size_t len)
{
	write_all(STDERR_FILENO, buf, len);
}

static void put_blanks(size_t n)
{
	static const char blanks[] = "                                ";
	while (n) {
		size_t k = n < sizeof(blanks) - 1 ? n : sizeof(blanks) - 1;
		put(blanks, k);
		n -= k;
	}
}

static void erase_line(void)
{
	if (!pg.shown)
		return;
	int saved = errno; // a message being printed may still want it (%m)
	put("\r", 1);
	put_blanks(pg.shown);
	put("\r", 1);
	pg.shown = 0;
	errno = saved;
}

static void format_size(char *buf, size_t len, uint64_t bytes)
{
	static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
	if (bytes < 1024) {
		snprintf(buf, len, "%llu B", (unsigned long long)bytes);
		return;
	}
	double v = (double)bytes / 1024;
	unsigned u = 0;
	while (v >= 1024 && u + 1 < sizeof(units) / sizeof(units[0])) {
		v /= 1024;
		u++;
	}
	snprintf(buf, len, "%.1f %s", v, units[u]);
}

static long elapsed_ms(const struct timespec *from, const struct timespec *to)
{
	return (long)(to->tv_sec - from->tv_sec) * 1000 + (to->tv_nsec - from->tv_nsec) / 1000000;
}

static void draw(const struct timespec *now)
{
	char text[PROGRESS_MAX_WIDTH + 64], moved[32];
	int len;

	if (pg.groups_total)
		len = snprintf(text, sizeof(text), "%s: groups %llu/%llu", pg.pass,
			       (unsigned long long)pg.groups, (unsigned long long)pg.groups_total);
	else if (pg.files_total)
		len = snprintf(text, sizeof(text), "%s: files %llu/%llu", pg.pass,
			       (unsigned long long)pg.files, (unsigned long long)pg.files_total);
	else
		len = snprintf(text, sizeof(text), "%s: files %llu", pg.pass,
			       (unsigned long long)pg.files);
	format_size(moved, sizeof(moved), pg.moved_blocks << pg.blocksize_bits);
	long secs = elapsed_ms(&pg.started, now) / 1000;
	if (secs >= 3600)
		len += snprintf(text + len, sizeof(text) - len, ", moved %s, %ld:%02ld:%02ld", moved,
				secs / 3600, secs / 60 % 60, secs % 60);
	else
		len += snprintf(text + len, sizeof(text) - len, ", moved %s, %ld:%02ld", moved,
				secs / 60, secs % 60);

	size_t n = (size_t)len < pg.width ? (size_t)len : pg.width;
	put("\r", 1);
	put(text, n);
	if (pg.shown > n)
		put_blanks(pg.shown - n);
	pg.shown = n;
	pg.drawn = *now;
}

// Draws when the last drawing is old enough; a clock read per event is all
// that the events in between cost.
static void tick(int force)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	if (force || elapsed_ms(&pg.drawn, &now) >= PROGRESS_REDRAW_MS)
		draw(&now);
}

static ssize_t erase_then_write(void *cookie, const char *buf, size_t size)
{
	erase_line();
	size_t done = write_all((int)(intptr_t)cookie, buf, size);
	return done || !size ? (ssize_t)done : -1;
}

// A stream on the same descriptor as `orig` that erases the line before
// every write; null when none can be made (the line may then be overwritten).
static FILE *erasing_stream(FILE *orig, int buffering)
{
	cookie_io_functions_t io = {nullptr, erase_then_write, nullptr, nullptr};
	fflush(orig);
	FILE *f = fopencookie((void *)(intptr_t)fileno(orig), "w", io);
	if (f)
		setvbuf(f, nullptr, buffering, 0);
	return f;
}

static void progress_at_exit(void)
{
	progress_end();
}

void progress_start(uint32_t blocksize_bits)
{
	if (!progress_requested || pg.active || !isatty(STDERR_FILENO))
		return;
	memset(&pg, 0, sizeof(pg));
	pg.active = 1;
	pg.blocksize_bits = blocksize_bits;
	// nothing is drawn until the driver names the first pass
	pg.pass = "";
	clock_gettime(CLOCK_MONOTONIC, &pg.started);
	struct winsize ws;
	pg.width = 79;
	if (!ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) && ws.ws_col > 1)
		pg.width = ws.ws_col - 1u;
	if (pg.width > PROGRESS_MAX_WIDTH)
		pg.width = PROGRESS_MAX_WIDTH;

	FILE *f;
	if (isatty(STDOUT_FILENO) && (f = erasing_stream(stdout, _IOLBF))) {
		pg.out = stdout;
		stdout = f;
	}
	if ((f = erasing_stream(stderr, _IONBF))) {
		pg.err = stderr;
		stderr = f;
	}
	// a fatal condition ends the process with exit(): the line goes too
	if (!at_exit_set)
		at_exit_set = !atexit(progress_at_exit);
}

void progress_pass(const char *name, uint64_t groups_total)
{
	if (!pg.active)
		return;
	pg.pass = name;
	if (pg.files) {
		pg.files_total = pg.files;
		pg.files = 0;
	}
	pg.groups = 0;
	pg.groups_total = groups_total;
	tick(1);
}

void progress_file(void)
{
	if (!pg.active)
		return;
	pg.files++;
	tick(0);
}

void progress_group(void)
{
	if (!pg.active)
		return;
	pg.groups++;
	tick(0);
}

void progress_moved(uint64_t blocks)
{
	if (!pg.active)
		return;
	pg.moved_blocks += blocks;
	tick(0);
}

void progress_end(void)
{
	if (!pg.active)
		return;
	fflush(stdout);
	erase_line();
	pg.active = 0;
	if (pg.out) {
		FILE *f = stdout;
		stdout = pg.out;
		fclose(f);
	}
	if (pg.err) {
		FILE *f = stderr;
		stderr = pg.err;
		fclose(f);
	}
	pg.out = pg.err = nullptr;
}

// --path sets: what lies below what, which named paths are walked, and
// whether the mount point itself stands for the whole tree. Resolving real
// paths against a mount: path_run_test.cpp.
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include "paths.h"

namespace {

struct qf_path named(const char *resolved, uint64_t ino, int is_dir)
{
	struct qf_path p = {};
	p.resolved = strdup(resolved);
	p.parent = strdup("/");
	p.base = p.resolved + 1;
	p.ino = ino;
	p.is_dir = is_dir;
	return p;
}

} // namespace

TEST(Paths, NamedPathsBelowANamedDirectoryAreWalkedThere)
{
	struct qf_path *v = (struct qf_path *)calloc(5, sizeof(*v));
	v[0] = named("/mnt/d/f", 20, 0); // a file below a named directory
	v[1] = named("/mnt/d", 12, 1);
	v[2] = named("/mnt/e", 13, 1);
	v[3] = named("/mnt/d", 12, 1);  // named twice
	v[4] = named("/mnt/dd", 14, 1); // a prefix of it, but not below it
	struct qf_paths *ps = nullptr;
	ASSERT_EQ(paths_build(v, 5, 2, &ps), 0);
	ASSERT_NE(ps, nullptr);
	EXPECT_EQ(ps->v[0].covered, 1);
	EXPECT_EQ(ps->v[1].covered, 0);
	EXPECT_EQ(ps->v[2].covered, 0);
	EXPECT_EQ(ps->v[3].covered, 1);
	EXPECT_EQ(ps->v[4].covered, 0);

	defrag_context ctx = {};
	ctx.paths = ps;
	EXPECT_TRUE(path_named_file(&ctx, 20)) << "it is still a named file where it is walked";
	EXPECT_FALSE(path_named_file(&ctx, 12));
	EXPECT_TRUE(path_named_dir(&ctx, 14));
	struct stat st = {};
	st.st_mode = S_IFREG;
	st.st_ino = 99;
	EXPECT_FALSE(path_selected(&ctx, &st));
	ctx.walk_in_named = 1;
	EXPECT_TRUE(path_selected(&ctx, &st)) << "below a named directory";
	ctx.paths = nullptr;
	ctx.walk_in_named = 0;
	EXPECT_TRUE(path_selected(&ctx, &st)) << "without --path everything";
	paths_free(ps);
}

TEST(Paths, TheMountPointNamedMeansTheWholeTree)
{
	struct qf_path *v = (struct qf_path *)calloc(2, sizeof(*v));
	v[0] = named("/mnt/d/f", 20, 0);
	v[1] = named("/mnt", 2, 1);
	struct qf_paths *ps = (struct qf_paths *)1;
	ASSERT_EQ(paths_build(v, 2, 2, &ps), 0);
	EXPECT_EQ(ps, nullptr);
}

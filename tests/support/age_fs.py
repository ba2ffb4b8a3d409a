#!/usr/bin/env python3
"""Ages a mounted ext4 file system the way years of use do, reproducibly.

  age_fs.py DIR [--fill 0.6] [--seed 1]
      DIR is a directory on the mounted file system (created if missing). Files
      of log-normal sizes (1 KiB to 8 MiB) are written eight at a time in small
      pieces, each round of pieces synced, until the file system is `fill` full;
      then three times a third of the files (35 %) are deleted at random and the
      file system is filled up again. Finally 40 % of the survivors are dated 40
      days back and 20 % made read-only. `--fill 0.5` ends about 57 % full,
      `--fill 0.75` about 82 %. Needs nothing but the standard library.
      With `--pattern interleaved [--writers 8] [--chunk-kib 32]`, a young file
      system instead: files of log-normal sizes (up to 4 MiB) written by
      `writers` writers at once, each appending `chunk-kib` and syncing in
      turn, until `fill`; nothing is deleted, so the free space stays in a
      few large runs while the files' pieces lie between each other.
  age_fs.py image IMG [--size-mib 1024] [--fill 0.6] [--seed 1] [--pattern P]
      Makes IMG (mkfs.ext4 -b 4096), mounts it on a loop device, ages DIR =
      <mount>/data and unmounts (root, util-linux and e2fsprogs)."""
import os, random, subprocess, sys, tempfile, time


def age(root, seed, fill, rounds=3, churn=0.35, max_mib=8):
    os.makedirs(root, exist_ok=True)
    rnd = random.Random(seed)
    live, serial = [], [0]
    st = os.statvfs(root)
    total = st.f_blocks * st.f_frsize

    def used():
        s = os.statvfs(root)
        return (s.f_blocks - s.f_bfree) * s.f_frsize

    def fill_to(target):
        while used() < target:
            batch = []
            for _ in range(8):
                serial[0] += 1
                d = os.path.join(root, "d%02d" % rnd.randrange(32))
                os.makedirs(d, exist_ok=True)
                size = int(min(max_mib << 20, max(1024, rnd.lognormvariate(10.5, 1.6))))
                batch.append([os.path.join(d, "f%06d" % serial[0]), size])
            fds = [os.open(p, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644) for p, _ in batch]
            # the files grow side by side, a few blocks at a time, each round
            # written back before the next: their pieces interleave on disk
            while any(b[1] for b in batch):
                for k, fd in enumerate(fds):
                    if batch[k][1]:
                        n = min(batch[k][1], 4096 * rnd.choice((1, 2, 4, 8, 16)))
                        os.write(fd, rnd.randbytes(n))
                        batch[k][1] -= n
                for fd in fds:
                    os.fsync(fd)
            for fd in fds:
                os.close(fd)
            live.extend(p for p, _ in batch)

    fill_to(total * fill)
    for _ in range(rounds):
        rnd.shuffle(live)
        k = int(len(live) * churn)
        for p in live[:k]:
            os.unlink(p)
        del live[:k]
        fill_to(total * fill)
    old = time.time() - 40 * 86400
    for p in live:
        x = rnd.random()
        if x < 0.4:
            os.utime(p, (old, old))
        elif x < 0.6:
            os.chmod(p, 0o444)
    return len(live)


def age_interleaved(root, seed, fill, writers=8, chunk_kib=32, max_mib=4):
    os.makedirs(root, exist_ok=True)
    rnd = random.Random(seed)
    st = os.statvfs(root)
    target = st.f_blocks * st.f_frsize * fill
    chunk, n = chunk_kib << 10, 0

    def used():
        s = os.statvfs(root)
        return (s.f_blocks - s.f_bfree) * s.f_frsize

    while used() < target:
        # one round of writers, each with a file of its own
        left, fds = [], []
        for _ in range(writers):
            n += 1
            d = os.path.join(root, "w%02d" % (n % 16))
            os.makedirs(d, exist_ok=True)
            fds.append(os.open(os.path.join(d, "f%06d" % n), os.O_WRONLY | os.O_CREAT, 0o644))
            left.append(int(min(max_mib << 20, max(chunk, rnd.lognormvariate(12.0, 1.0)))))
        while any(left):
            for k, fd in enumerate(fds):
                if left[k]:
                    c = min(left[k], chunk)
                    os.write(fd, rnd.randbytes(c))
                    os.fsync(fd)
                    left[k] -= c
        for fd in fds:
            os.close(fd)
    return n


def options(args):
    opt = dict(zip(args[::2], args[1::2]))
    return float(opt.get("--fill", 0.6)), int(opt.get("--seed", 1)), int(opt.get("--size-mib", 1024))


def run_pattern(root, args):
    opt = dict(zip(args[::2], args[1::2]))
    fill, seed, _ = options(args)
    if opt.get("--pattern", "churn") == "interleaved":
        return age_interleaved(root, seed, fill, int(opt.get("--writers", 8)),
                               int(opt.get("--chunk-kib", 32)))
    return age(root, seed, fill)


def main(argv):
    if len(argv) >= 2 and argv[0] == "image":
        img = argv[1]
        fill, seed, size = options(argv[2:])
        with open(img, "wb") as f:
            f.truncate(size << 20)
        subprocess.check_call(["mkfs.ext4", "-q", "-F", "-b", "4096", img])
        mnt = tempfile.mkdtemp(prefix="agefs")
        dev = subprocess.check_output(["losetup", "-f", "--show", img], text=True).strip()
        try:
            subprocess.check_call(["mount", dev, mnt])
            try:
                n = run_pattern(os.path.join(mnt, "data"), argv[2:])
                subprocess.call(["sync"])
            finally:
                subprocess.call(["umount", mnt])
        finally:
            subprocess.call(["losetup", "-d", dev])
            os.rmdir(mnt)
        print("%s: %d files" % (img, n))
    elif len(argv) >= 1 and not argv[0].startswith("-"):
        print("%d files" % run_pattern(argv[0], argv[1:]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])

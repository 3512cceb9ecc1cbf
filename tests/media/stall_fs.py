#!/usr/bin/python3
"""A volume that stops answering: a FUSE passthrough of ROOT at MOUNT whose
writes (and syncs) hang until standard input ends; from then on they fail
with EIO, as a network volume that came back broken would. Everything else
(folders, opening, statfs) answers at once, unless a third argument "all"
asks for file creation and statfs to hang (and then fail) as well. Prints
"ready" once mounted; ends when the mount is taken away (fusermount3 -u).

Usage: stall_fs.py ROOT MOUNT [all]
"""
import errno
import os
import sys
import threading

from fusepy import FUSE, FuseOSError, Operations

released = threading.Event()
hang_all = False


def stall_if_all():
    if hang_all:
        released.wait()
        raise FuseOSError(errno.EIO)


class StallFs(Operations):
    def __init__(self, root):
        self.root = root

    def _path(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def getattr(self, path, fh=None):
        try:
            st = os.lstat(self._path(path))
        except OSError as e:
            raise FuseOSError(e.errno)
        keys = ("st_atime", "st_ctime", "st_gid", "st_mode", "st_mtime", "st_nlink", "st_size", "st_uid")
        return {k: getattr(st, k) for k in keys}

    def access(self, path, mode):
        if not os.access(self._path(path), mode):
            raise FuseOSError(errno.EACCES)

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._path(path))

    def mkdir(self, path, mode):
        os.mkdir(self._path(path), mode)

    def rmdir(self, path):
        os.rmdir(self._path(path))

    def unlink(self, path):
        os.unlink(self._path(path))

    def create(self, path, mode, fi=None):
        stall_if_all()
        return os.open(self._path(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)

    def open(self, path, flags):
        return os.open(self._path(path), flags)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        released.wait()
        raise FuseOSError(errno.EIO)

    def truncate(self, path, length, fh=None):
        os.truncate(self._path(path), length)

    def fsync(self, path, datasync, fh):
        released.wait()
        raise FuseOSError(errno.EIO)

    def flush(self, path, fh):
        return 0

    def release(self, path, fh):
        os.close(fh)
        return 0

    def statfs(self, path):
        stall_if_all()
        st = os.statvfs(self._path(path))
        keys = ("f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree", "f_files",
                "f_flag", "f_frsize", "f_namemax")
        return {k: getattr(st, k) for k in keys}


def main():
    global hang_all
    root, mount = sys.argv[1], sys.argv[2]
    hang_all = len(sys.argv) > 3 and sys.argv[3] == "all"
    # The main thread stays inside libfuse, where Python's signal handlers
    # never run, so the release comes through a pipe.
    def release():
        sys.stdin.read()
        released.set()
    threading.Thread(target=release, daemon=True).start()
    # Mounted from a thread so that this one can say when the mount is there.
    def ready():
        while not os.path.ismount(mount):
            threading.Event().wait(0.01)
        print("ready", flush=True)
    threading.Thread(target=ready, daemon=True).start()
    FUSE(StallFs(root), mount, foreground=True)


if __name__ == "__main__":
    main()

"""Files of the lessons under one folder: nothing is written or read outside
it, nothing through a link, nothing half-written is ever visible."""

import errno
import os
import re
import tempfile

CONTENT_TYPES = {
    ".ts": "video/mp2t",
    ".m3u8": "application/vnd.apple.mpegurl",
    ".jpg": "image/jpeg",
    ".jpeg": "image/jpeg",
    ".png": "image/png",
    ".mp4": "video/mp4",
    ".json": "application/json",
    ".txt": "text/plain",
}


class StorageError(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


def content_type(path):
    return CONTENT_TYPES.get(os.path.splitext(path)[1].lower(), "application/octet-stream")


class Storage:
    def __init__(self, root, file_mode=0o640, dir_mode=0o750):
        os.makedirs(root, exist_ok=True)
        self.root = os.path.realpath(root)
        self.file_mode = file_mode
        self.dir_mode = dir_mode

    def locate(self, rel):
        """bucket/path → the file's place under the root, or None when the
        path leaves the root, names no file in a bucket, or passes a link."""
        parts = [p for p in rel.split("/") if p != ""]
        if len(parts) < 2:
            return None
        for p in parts:
            if p in (".", "..") or "\\" in p or "\0" in p:
                return None
        target = os.path.join(self.root, *parts)
        # realpath equals the plain join only when no part is a link.
        if os.path.realpath(target) != target:
            return None
        return target

    def readable(self, rel):
        target = self.locate(rel)
        if target is None:
            raise StorageError(403, "path refused")
        if not os.path.isfile(target):
            raise StorageError(404, "not found")
        return target

    def begin(self, rel):
        """A temporary file beside rel's place: (target, temporary path, file)."""
        target = self.locate(rel)
        if target is None:
            raise StorageError(403, "path refused")
        folder = os.path.dirname(target)
        try:
            self._make_dirs(folder)
            if os.path.isdir(target):
                raise StorageError(409, "a folder is in the way")
            fd, tmp = tempfile.mkstemp(dir=folder, prefix=".part-")
        except (NotADirectoryError, FileExistsError):
            raise StorageError(409, "a file is in the way") from None
        except OSError as exc:
            raise self._failure(exc) from exc
        os.fchmod(fd, self.file_mode)
        return target, tmp, os.fdopen(fd, "wb")

    def _make_dirs(self, folder):
        missing = []
        while not os.path.isdir(folder):
            if os.path.lexists(folder):
                # Another upload into the same new folder may have made it
                # between the two looks.
                if os.path.isdir(folder):
                    break
                raise NotADirectoryError(folder)
            missing.append(folder)
            folder = os.path.dirname(folder)
        for d in reversed(missing):
            try:
                os.mkdir(d, self.dir_mode)
            except FileExistsError:
                if not os.path.isdir(d):
                    raise
            # Another process may have linked it meanwhile.
            if os.path.realpath(d) != d:
                raise StorageError(403, "path refused")

    def commit(self, target, tmp, out):
        """Makes the written file durable, then visible under its name."""
        try:
            out.flush()
            os.fsync(out.fileno())
            out.close()
            os.replace(tmp, target)
            dfd = os.open(os.path.dirname(target), os.O_RDONLY | os.O_DIRECTORY)
            try:
                os.fsync(dfd)
            finally:
                os.close(dfd)
        except OSError as exc:
            self.abort(tmp, out)
            if isinstance(exc, IsADirectoryError):
                raise StorageError(409, "a folder is in the way") from exc
            raise self._failure(exc) from exc

    @staticmethod
    def abort(tmp, out):
        try:
            out.close()
        except OSError:
            pass
        try:
            os.unlink(tmp)
        except OSError:
            pass

    def write_piece(self, tmp, out, piece):
        try:
            out.write(piece)
        except OSError as exc:
            self.abort(tmp, out)
            raise self._failure(exc) from exc

    @staticmethod
    def _failure(exc):
        if exc.errno in (errno.ENOSPC, errno.EDQUOT):
            return StorageError(507, "storage full")
        return StorageError(500, "storage failed: " + (exc.strerror or str(exc)))

    # ---- retention -------------------------------------------------------
    def lesson_files(self, bucket, paths):
        """The files of a lesson: its playlists, the segments they name, its
        snapshots (each under the root, never through a link)."""
        found = []
        for path in paths:
            target = self.locate(bucket + "/" + path)
            if target is None:
                continue
            found.append(target)
            if not target.endswith(".m3u8") or not os.path.isfile(target):
                continue
            try:
                with open(target, encoding="utf-8", errors="replace") as f:
                    lines = f.read().splitlines()
            except OSError:
                continue
            for line in lines:
                line = line.strip()
                if not line or line.startswith("#") or re.match(r"^[a-z]+://", line):
                    continue
                if line.startswith("/"):
                    seg = self.locate(bucket + line)
                else:
                    seg = os.path.normpath(os.path.join(os.path.dirname(target), line))
                    seg = seg if seg.startswith(self.root + os.sep) and os.path.realpath(seg) == seg else None
                if seg:
                    found.append(seg)
        return found

    def remove(self, files):
        removed = 0
        folders = set()
        for f in files:
            try:
                os.unlink(f)
                removed += 1
            except FileNotFoundError:
                pass
            folders.add(os.path.dirname(f))
        # Empty folders go too, up to the bucket's.
        for d in sorted(folders, key=len, reverse=True):
            while d.startswith(self.root + os.sep) and os.path.dirname(d) != self.root:
                try:
                    os.rmdir(d)
                except OSError:
                    break
                d = os.path.dirname(d)
        return removed

"""Replacing a file so that a reader sees the old text or the new one, never half of one.

The rules are those of the detectors' own `save_json`: links are followed and their target is
replaced, a replaced file keeps its owner and mode, a file the caller may not write is refused,
and devices and FIFOs (which a rename would turn into plain files) are written in place.
"""

from __future__ import annotations

import errno
import os
import secrets
import stat
from typing import IO


def _os_error(code: int, path: str) -> OSError:
    return OSError(code, os.strerror(code), path)


class StagedFile:
    """A file being written for `path`, put in place by `commit` or dropped by `discard`.

    Every check that can refuse the target happens in the constructor, so a caller can open all
    its outputs before doing any work. `file` is the binary stream to write to; `temporary` is
    None when the target is written in place (a device or a FIFO).
    """

    def __init__(self, path: str):
        self.path = path
        self.target = path
        self.temporary: str | None = None
        old: os.stat_result | None = None
        try:
            old = os.stat(path)  # follows links
        except FileNotFoundError:
            # A new file, or a link to one: create what the link names.
            if os.path.islink(path):
                self.target = os.path.realpath(path)
        else:
            if os.path.islink(path):
                self.target = os.path.realpath(path)
            if stat.S_ISDIR(old.st_mode):
                raise _os_error(errno.EISDIR, path)
            if not stat.S_ISREG(old.st_mode):
                self.file: IO[bytes] = open(self.target, "wb")
                return
            # A rename would replace a file the caller may not write; refuse as writing in place would.
            if not os.access(self.target, os.W_OK, effective_ids=os.access in os.supports_effective_ids):
                raise _os_error(errno.EACCES, path)
        folder, base = os.path.split(self.target)
        for _ in range(100):
            name = os.path.join(folder, f".{base[:200]}.{secrets.token_hex(8)}.tmp")
            try:
                fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
                break
            except FileExistsError:
                continue
        else:
            raise _os_error(errno.EEXIST, path)
        self.temporary = name
        try:
            if old is not None:
                # The replacement keeps the old file's owner and mode; only a privileged caller can
                # give a file away, so a failed chown leaves the new file the caller's.
                try:
                    os.fchown(fd, old.st_uid, old.st_gid)
                except OSError:
                    pass
                os.fchmod(fd, stat.S_IMODE(old.st_mode))
            self.file = os.fdopen(fd, "wb")
        except BaseException:
            os.close(fd)
            self._unlink()
            raise

    def finish(self) -> None:
        """Flush and sync the text, so that `commit` only has to rename."""
        self.file.flush()
        if self.temporary is not None:
            os.fsync(self.file.fileno())
        self.file.close()

    def commit(self) -> None:
        """Put the new text in place (after `finish`)."""
        if not self.file.closed:
            self.finish()
        if self.temporary is None:
            return
        os.replace(self.temporary, self.target)
        self.temporary = None
        try:
            fd = os.open(os.path.dirname(self.target) or ".", os.O_RDONLY | os.O_DIRECTORY)
        except OSError:
            return  # the sync only makes the rename durable sooner
        try:
            os.fsync(fd)
        except OSError:
            pass
        finally:
            os.close(fd)

    def discard(self) -> None:
        """Drop the new text; never raises, so it can run on every exit path."""
        try:
            self.file.close()
        except OSError:
            pass  # a write the file-size limit or a full disk refused; the file goes anyway
        self._unlink()

    def _unlink(self) -> None:
        if self.temporary is not None:
            try:
                os.unlink(self.temporary)
            except OSError:
                pass
            self.temporary = None


def write_file(path: str, data: bytes) -> None:
    """Replace `path` with `data` atomically (see `StagedFile` for the rules)."""
    staged = StagedFile(path)
    try:
        staged.file.write(data)
        staged.commit()
    except BaseException:
        staged.discard()
        raise

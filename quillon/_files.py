"""Replacing a file so that a reader sees the old text or the new one, never half of one.

The rules are those of the detectors' own `save_json`: links are followed and their target is
replaced, a replaced file keeps its owner and mode, a file the caller may not write is refused,
and devices and FIFOs (which a rename would turn into plain files) are written in place.
"""

from __future__ import annotations

import collections
import errno
import itertools
import os
import secrets
import shutil
import stat
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import IO

# A sync mostly waits for the disk; several at once share the file system's journal commits.
_SYNC_THREADS = 8


def _os_error(code: int, path: str) -> OSError:
    return OSError(code, os.strerror(code), path)


def _may_write(path: str) -> bool:
    return os.access(path, os.W_OK, effective_ids=os.access in os.supports_effective_ids)


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
            if not _may_write(self.target):
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
            _keep_owner_and_mode(fd, old)
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
        _sync_folder(os.path.dirname(self.target) or ".")

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


def replace_all(moves: Sequence[tuple[str, str]]) -> None:
    """Move each finished file `source` over its `target`: all of them, or, on an error, none.

    Targets follow `StagedFile`'s rules, and every one is checked before the first rename. A
    target that is absent or a plain file on the source's file system takes the source itself,
    renamed into place with the old file's owner and mode; a link, a device, a FIFO or a target
    on another file system gets a copy through `StagedFile`. An error before the renames leaves
    every target as it was; the caller removes what is left of the sources.
    """
    direct: list[tuple[str, str, os.stat_result | None]] = []
    copied: list[tuple[str, str]] = []
    folder_devices: dict[str, int] = {}
    for source, target in moves:
        found = os.lstat(source)
        if not stat.S_ISREG(found.st_mode):
            raise OSError(errno.EINVAL, "not a regular file", source)
        try:
            old: os.stat_result | None = os.lstat(target)
        except FileNotFoundError:
            old = None
            folder = os.path.dirname(target) or "."
            if folder not in folder_devices:
                folder_devices[folder] = os.stat(folder).st_dev
            device = folder_devices[folder]
        else:
            device = old.st_dev if stat.S_ISREG(old.st_mode) else -1
        if device != found.st_dev:
            copied.append((source, target))
            continue
        # A rename would replace a file the caller may not write; refuse as writing in place would.
        if old is not None and not _may_write(target):
            raise _os_error(errno.EACCES, target)
        direct.append((source, target, old))
    # Each file's text is synced before the first rename, so that a crash never leaves a renamed
    # but empty file. The renames are made durable by one sync of each target folder after all
    # of them, not one per file: a crash before that sync may keep some renames and lose others,
    # each file whole, old or new, which a sync per file would not prevent either, since a crash
    # between two renames leaves the same mix.
    if direct:
        pool = ThreadPoolExecutor(min(_SYNC_THREADS, len(direct)))
        try:
            collections.deque(pool.map(_take_place_of, [s for s, _, _ in direct],
                                       [old for _, _, old in direct]), maxlen=0)
        finally:
            pool.shutdown(cancel_futures=True)
    # Devices and FIFOs are written in place as soon as their StagedFile opens: last, after
    # every other check (a directory's refusal included).
    copied.sort(key=lambda move: _written_in_place(move[1]))
    staged: list[StagedFile] = []
    try:
        for source, target in copied:
            staged.append(StagedFile(target))
            with open(source, "rb") as f:
                shutil.copyfileobj(f, staged[-1].file)
            staged[-1].finish()
    except BaseException:
        for each in staged:
            each.discard()
        raise
    renames = [(s, t) for s, t, _ in direct]
    renames += [(s.temporary, s.target) for s in staged if s.temporary is not None]
    # The renames run in C, one after the other, with no Python code between them, so a Ctrl-C
    # (handled only between Python instructions) lands before or after all of them.
    collections.deque(itertools.starmap(os.replace, renames), maxlen=0)
    for folder in dict.fromkeys(os.path.dirname(t) or "." for _, t in renames):
        _sync_folder(folder)


def _keep_owner_and_mode(fd: int, old: os.stat_result | None) -> None:
    """Give the open file `fd` the owner and mode of the file it replaces, if any."""
    if old is None:
        return
    # Only a privileged caller can give a file away; a failed chown leaves it the caller's.
    try:
        os.fchown(fd, old.st_uid, old.st_gid)
    except OSError:
        pass
    os.fchmod(fd, stat.S_IMODE(old.st_mode))


def _take_place_of(source: str, old: os.stat_result | None) -> None:
    """Give `source` the owner and mode of the file it replaces, and sync its text."""
    fd = os.open(source, os.O_RDONLY | os.O_CLOEXEC | os.O_NOFOLLOW | os.O_NONBLOCK)
    try:
        _keep_owner_and_mode(fd, old)
        os.fsync(fd)
    finally:
        os.close(fd)


def _written_in_place(path: str) -> bool:
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


def _sync_folder(folder: str) -> None:
    """Make the renames into `folder` durable now rather than at the system's next flush."""
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return  # the files are in place either way
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)

"""save_json and load_json against the file system: failed saves, permissions, links, FIFOs."""

import os
import pathlib
import stat
import subprocess
import sys
import tempfile
import textwrap

import pytest

import quillon

# The folder holding the quillon package, for the child interpreters.
PACKAGE_ROOT = str(pathlib.Path(quillon.__file__).resolve().parent.parent)


def run_child(code, *args, timeout=60, **kwargs):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code), *map(str, args)],
        env=env, capture_output=True, text=True, timeout=timeout, **kwargs)


def small_and_large(kind):
    """Two states of one detector class, the second longer than the first."""
    small = kind.make()
    large = kind.make()
    kind.feed(large, 200)
    assert len(large.to_json()) > len(small.to_json()) + 1000
    return small, large


# A save that fails part-way leaves the previous file whole and nothing else in the folder.
SAVE_UNDER_FILE_SIZE_LIMIT = """
    import resource, sys, quillon
    cls, target, limit = getattr(quillon, sys.argv[1]), sys.argv[2], int(sys.argv[3])
    det = cls.from_json(sys.stdin.read())
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    try:
        det.save_json(target)
    except RuntimeError as e:
        print(e)
"""


def test_a_failed_save_keeps_the_old_file(kind, tmp_path):
    small, large = small_and_large(kind)
    target = tmp_path / "state.json"
    small.save_json(target)
    old = target.read_bytes()
    limit = (len(small.to_json()) + len(large.to_json())) // 2
    child = run_child(SAVE_UNDER_FILE_SIZE_LIMIT, kind.name, target, limit, input=large.to_json())
    assert child.stdout.strip() == "I/O error: File too large (os error 27)", child.stderr
    assert target.read_bytes() == old
    assert os.listdir(tmp_path) == ["state.json"]
    assert type(small).load_json(target).to_json() == small.to_json()


@pytest.mark.parametrize("existing_mode", [None, 0o600, 0o640, 0o755])
def test_saves_replace_the_file_and_keep_its_permissions(existing_mode, tmp_path):
    det = quillon.MStream(1, 1, seed=3)
    target = tmp_path / "m.json"
    if existing_mode is not None:
        target.write_text("old")
        target.chmod(existing_mode)
    umask = os.umask(0o027)
    try:
        det.save_json(target)
    finally:
        os.umask(umask)
    expected = 0o640 if existing_mode is None else existing_mode
    assert stat.S_IMODE(target.stat().st_mode) == expected
    assert target.read_text() == det.to_json()
    assert os.listdir(tmp_path) == ["m.json"]


def test_saving_through_a_link_replaces_the_linked_file(tmp_path):
    det = quillon.OnlineIForest(2, seed=1)
    (tmp_path / "real").mkdir()
    real = tmp_path / "real" / "state.json"
    real.write_text("old")
    link = tmp_path / "link.json"
    link.symlink_to(real)
    det.save_json(link)
    assert link.is_symlink()
    assert real.read_text() == det.to_json()
    assert sorted(os.listdir(tmp_path / "real")) == ["state.json"]


@pytest.mark.parametrize("make_target, message", [
    (lambda p: p.mkdir(), r"Is a directory \(os error 21\)"),
    (lambda p: None, None),  # a missing file is created
])
def test_save_targets(make_target, message, tmp_path):
    det = quillon.Forest(1, num_trees=2, capacity=4, seed=1)
    target = tmp_path / "t"
    make_target(target)
    if message is None:
        det.save_json(target)
        assert target.read_text() == det.to_json()
    else:
        with pytest.raises(RuntimeError, match=r"^I/O error: " + message + "$"):
            det.save_json(target)
    assert os.listdir(tmp_path) == ["t"]


# Root may write any file: the child drops to an unprivileged user once quillon is imported.
SAVE_AS_UNPRIVILEGED = """
    import os, sys, quillon
    if os.geteuid() == 0:
        os.setgid(65534)
        os.setuid(65534)
    try:
        quillon.OnlineIForest(1, seed=1).save_json(sys.argv[1])
    except RuntimeError as e:
        print(e)
"""


def test_a_read_only_file_is_not_replaced():
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o777)
        target = pathlib.Path(folder) / "state.json"
        target.write_text("old")
        target.chmod(0o444)
        child = run_child(SAVE_AS_UNPRIVILEGED, target)
        assert child.stdout.strip() == "I/O error: Permission denied (os error 13)", child.stderr
        assert target.read_text() == "old"
        assert os.listdir(folder) == ["state.json"]


# A FIFO nobody opens from the other end blocks open(); a signal must reach the Python handler.
BLOCKED_ON_FIFO = """
    import signal, sys, threading, time, quillon
    fifo, how, signame = sys.argv[1], sys.argv[2], sys.argv[3]
    signum = getattr(signal, signame)
    handled = []
    if signame != "SIGINT":
        def note(*_):
            handled.append(1)
            print("handled", flush=True)
        signal.signal(signum, note)
    main = threading.main_thread()

    def signal_once_blocked():
        # Wait until the main thread sleeps in openat (257), read (0) or write (1).
        task = f"/proc/self/task/{main.native_id}"
        for _ in range(200):
            with open(task + "/stat") as f, open(task + "/syscall") as g:
                state, call = f.read().rsplit(")", 1)[1].split()[0], g.read().split()[0]
            if state == "S" and call in ("257", "0", "1"):
                break
            time.sleep(0.05)
        signal.pthread_kill(main.ident, signum)

    det = quillon.MStream(1, 1, seed=5)
    threading.Thread(target=signal_once_blocked).start()
    try:
        if how == "load":
            loaded = quillon.MStream.load_json(fifo)
            print("loaded", loaded.to_json() == det.to_json(), len(handled))
        else:
            det.save_json(fifo)
            print("saved", len(handled))
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
"""


@pytest.mark.parametrize("how", ["load", "save"])
def test_a_signal_interrupts_a_blocked_fifo(how, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    child = run_child(BLOCKED_ON_FIFO, fifo, how, "SIGINT", timeout=30)
    assert child.stdout.strip() == "KeyboardInterrupt", child.stderr
    assert os.listdir(tmp_path) == ["fifo"]


@pytest.mark.parametrize("how", ["load", "save"])
def test_a_handler_that_returns_lets_the_blocked_call_go_on(how, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    child = subprocess.Popen(
        [sys.executable, "-P", "-c", textwrap.dedent(BLOCKED_ON_FIFO), str(fifo), how, "SIGUSR1"],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "handled\n"
        # Only now open the other end: the call was interrupted and went back to waiting.
        if how == "load":
            with open(fifo, "w") as f:
                f.write(quillon.MStream(1, 1, seed=5).to_json())
            expected = "loaded True 1"
        else:
            with open(fifo) as f:
                assert f.read() == quillon.MStream(1, 1, seed=5).to_json()
            expected = "saved 1"
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait()
    assert out.strip() == expected, err
    assert os.listdir(tmp_path) == ["fifo"]

"""Set-up on a fresh machine: the apt mirror lookup and the bootstrap's download step."""

import functools
import http.server
import os
import subprocess
import threading
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
TARBALL = "python3.14_3.14.7.orig.tar.xz"


def mirrors(apt_dir, *files):
    run = subprocess.run(
        [SCRIPTS / "apt-mirrors", *files],
        env={**os.environ, "QUILLON_APT_DIR": str(apt_dir)},
        capture_output=True,
        text=True,
        timeout=30,
    )
    assert run.returncode in (0, 1), run.stderr
    return run.stdout.split() if run.returncode == 0 else None


def lay_out(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


DEB822 = """\
Types: deb
# a comment inside the stanza
URIs: http://a.example/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://a.example/debian-security
Suites: bookworm-security
Components: main
"""

CASES = {
    "deb822 only, security stanza skipped": ({"sources.list.d/debian.sources": DEB822}, ["http://a.example/debian"]),
    "one-line only, options and comments": (
        {
            "sources.list": "# deb http://commented.example/x bookworm main\n"
            "deb [ arch=amd64 signed-by=/k.gpg ] http://b.example/debian bookworm main # trailing\n"
            "deb-src [arch=amd64] https://c.example/debian/ bookworm main\n"
            "deb http://b.example/debian-security bookworm-security main\n"
            "deb http://s.example/ubuntu noble-security main\n"
        },
        ["http://b.example/debian", "https://c.example/debian"],
    ),
    "mixed: sources.list first, then parts in name order": (
        {
            "sources.list": "deb http://one.example/debian bookworm main\n",
            "sources.list.d/b.sources": "Types: deb\nURIs: http://three.example/debian\nSuites: bookworm\n",
            "sources.list.d/a.list": "deb http://two.example/debian bookworm main\n",
        },
        ["http://one.example/debian", "http://two.example/debian", "http://three.example/debian"],
    ),
    "several URIs on one line, continuation, duplicates once": (
        {
            "sources.list.d/m.sources": "types: deb deb-src\nURIs: http://d.example/debian https://e.example/debian\n"
            "  http://d.example/debian/\nSuites: trixie\n",
        },
        ["http://d.example/debian", "https://e.example/debian"],
    ),
    "disabled stanzas, other schemes and ignored file names": (
        {
            "sources.list.d/off.sources": "Enabled: no\nTypes: deb\nURIs: http://off.example/debian\nSuites: bookworm\n",
            "sources.list.d/schemes.sources": "Types: deb\nURIs: file:/srv/repo cdrom:/media mirror+file:/m\nSuites: x\n",
            "sources.list.d/old.list.disabled": "deb http://old.example/debian bookworm main\n",
            "sources.list.d/crlf.list": "deb http://f.example/debian bookworm main\r\n",
        },
        ["http://f.example/debian"],
    ),
    "no sources at all": ({}, None),
    "only security archives": ({"sources.list.d/debian.sources": DEB822.split("\n\n")[1]}, None),
}


@pytest.mark.parametrize("files, expected", CASES.values(), ids=CASES.keys())
def test_mirror_lookup_reads_every_source_format(tmp_path, files, expected):
    lay_out(tmp_path, files)
    assert mirrors(tmp_path) == expected
    # Given files directly, the lookup reads exactly those, in the order given.
    given_files = [tmp_path / name for name in sorted(files) if name.endswith((".list", ".sources"))]
    assert mirrors(tmp_path / "elsewhere", *given_files) == expected


entries = st.tuples(
    st.sampled_from(["a", "b", "c", "d"]).map(lambda host: f"http://{host}.example/debian"),
    st.sampled_from(["bookworm", "bookworm-security", "bookworm bookworm-security"]),
    st.booleans(),  # deb822 stanza or one-line entry
    st.booleans(),  # with options / as a disabled stanza
)


@settings(max_examples=40, deadline=None)
@given(st.lists(entries, max_size=6))
def test_mirrors_come_in_file_order_without_repeats_or_security_only_entries(tmp_path_factory, entries):
    root = tmp_path_factory.mktemp("apt")
    files, expected = [], []
    for i, (uri, suites, deb822, flag) in enumerate(entries):
        if deb822:
            text = f"{'Enabled: no' if flag else '# stanza'}\nTypes: deb\nURIs: {uri}\nSuites: {suites}\n"
            usable = not flag
        else:
            options = "[ arch=amd64 ] " if flag else ""
            text = f"deb {options}{uri} {suites.split()[0]} main\n"
            usable = True
            suites = suites.split()[0]
        path = root / f"{i:02}.{'sources' if deb822 else 'list'}"
        path.write_text(text)
        files.append(path)
        if usable and suites != "bookworm-security" and uri not in expected:
            expected.append(uri)
    assert mirrors(root / "none", *files) == (expected or None)


def bootstrap(tmp_path, *args, **env):
    clean_env = {k: v for k, v in os.environ.items() if k not in ("QUILLON_PYTHON", "QUILLON_CPYTHON_TARBALL")}
    run = subprocess.run(
        [SCRIPTS / "bootstrap", *args],
        env={**clean_env, "QUILLON_CACHE": str(tmp_path / "cache"), "QUILLON_NO_SHARED_CACHE": "1", **env},
        capture_output=True,
        text=True,
        timeout=120,
    )
    return run.returncode, run.stderr.strip().splitlines()


def test_without_mirror_or_tarball_the_fetch_says_what_to_set(tmp_path):
    status, lines = bootstrap(tmp_path, "--fetch-only", str(tmp_path / "t.tar.xz"), QUILLON_APT_DIR=str(tmp_path))
    assert status == 1
    assert "QUILLON_CPYTHON_TARBALL=" in " ".join(lines[-3:]) and "QUILLON_PYTHON=" in lines[-1]


def test_a_wrong_local_tarball_is_refused_not_skipped(tmp_path):
    bad = tmp_path / TARBALL
    bad.write_bytes(b"not the source")
    status, lines = bootstrap(tmp_path, "--fetch-only", str(tmp_path / "t"), QUILLON_CPYTHON_TARBALL=str(bad))
    assert status == 1 and "SHA-256" in lines[-2] and not (tmp_path / "t").exists()


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def test_a_download_with_the_wrong_checksum_is_discarded(tmp_path):
    pool = tmp_path / "www" / "debian" / "pool" / "main" / "p" / "python3.14"
    pool.mkdir(parents=True)
    (pool / TARBALL).write_bytes(b"tampered" * 1000)
    handler = functools.partial(QuietHandler, directory=tmp_path / "www")
    with http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler) as server:
        threading.Thread(target=server.serve_forever, daemon=True).start()
        (tmp_path / "apt" / "sources.list.d").mkdir(parents=True)
        (tmp_path / "apt" / "sources.list.d" / "local.sources").write_text(
            f"Types: deb\nURIs: http://127.0.0.1:{server.server_address[1]}/debian\nSuites: bookworm\n"
        )
        dest = tmp_path / "out"
        status, lines = bootstrap(tmp_path, "--fetch-only", str(dest), QUILLON_APT_DIR=str(tmp_path / "apt"))
        server.shutdown()
    assert status == 1
    assert any("checksum mismatch" in line for line in lines)
    assert "could not download" in lines[-3] and "QUILLON_PYTHON=" in lines[-1]
    assert list(tmp_path.glob("out*")) == []


@pytest.mark.parametrize("uid", ["0", "1000"])
@pytest.mark.parametrize("args, packages", [((), "zlib1g-dev libffi-dev"),
                                            (("--thread-sanitizer",), "libtsan2 zlib1g-dev libffi-dev")])
def test_missing_build_headers_are_installed_as_root_or_named_in_the_apt_line(tmp_path, uid, args, packages):
    # Stubs: the build tools, a compiler without the zlib and libffi headers or the ThreadSanitizer
    # runtime, the user id, and apt-get, which logs.
    stubs = tmp_path / "bin"
    stubs.mkdir()
    calls = tmp_path / "apt-calls"
    for name, body in {
        **dict.fromkeys(["c++", "make", "pkg-config", "xz"], "true"),
        "cc": 'case "$*" in *-fsanitize=thread*) exit 1;; esac\n'
              'case "$(cat)" in *"<zlib.h>"*|*"<ffi.h>"*) exit 1;; esac',
        "id": f"echo {uid}",
        "apt-get": f'echo "$*" >>{calls}',
    }.items():
        (stubs / name).write_text(f"#!/bin/sh\n{body}\n")
        (stubs / name).chmod(0o755)
    status, lines = bootstrap(tmp_path, *args, PATH=f"{stubs}:/usr/local/bin:/usr/bin:/bin")
    assert status == 1
    if uid == "0":
        assert calls.read_text().splitlines() == [
            "update -qq",
            f"install -y -qq --no-install-recommends {packages}",
        ]
        assert f"still missing after installing: {packages}" in lines[-3]
    else:
        assert not calls.exists()
        assert lines[-2] == f"[bootstrap]   sudo apt-get update && sudo apt-get install -y {packages}"
    # The sanitized interpreter has no stand-in, so only the plain set-up points at one.
    assert ("QUILLON_PYTHON=" in lines[-1]) == (not args)

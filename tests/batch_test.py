"""yuv2h264-batch on this machine, as staged in $YUV2H264_ROOT (a DESTDIR install, prefix /usr).
Each row also checks that the batch leaves nothing running and nothing of its own. Mounts: root."""

import contextlib
import fcntl
import importlib.machinery
import importlib.util
import os
import pty
import re
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
from pathlib import Path

import pytest

ROOT = os.environ.get("YUV2H264_ROOT")
if not ROOT:
    pytest.skip("YUV2H264_ROOT, a staged install, is not set", allow_module_level=True)
BATCH = os.path.join(ROOT, "usr/bin/yuv2h264-batch")
# Started in the background, pytest would hand an ignored SIGINT on to the batch, which keeps it so.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
LINE = r"^\[\d+/\d+\] "  # a movie's line
GRACE = 12  # the batch's 10 s for its jobs to clean up, and a little more
SUMMARY = r"(?:(\d+) movies: )?(\d+)(?: of \d+)? encoded, (\d+) already had a stream, (\d+) without"


def make_movie(path, seconds, size="352x288", *options):
    lavfi = ["-f", "lavfi", "-i", f"testsrc2=size={size}:rate=25", "-t", str(seconds)]
    x264 = ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", *options]
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", *lavfi, *x264, str(path)], check=True)
    return path


@pytest.fixture(scope="session")
def sources():
    """50, 200 and 750 frames: the longest take a few seconds each to encode."""
    with tempfile.TemporaryDirectory() as d:
        lengths = {"short": 2, "mid": 8, "long": 30}
        yield {name: make_movie(Path(d, name + ".mp4"), s) for name, s in lengths.items()}


def running_in(path):
    """The processes whose command line, environment (TMPDIR) or working directory is in path."""
    key, found = os.fsencode(f"{path}/"), []
    for proc in Path("/proc").glob("[0-9]*"):
        try:
            seen = (proc / "cmdline").read_bytes() + (proc / "environ").read_bytes()
            seen += os.fsencode(os.readlink(proc / "cwd") + "/")
        except OSError:  # gone, or a zombie
            continue
        if key in seen and int(proc.name) != os.getpid():
            found.append(int(proc.name))
    return found


class Box:
    """A row's directory: movies/, where the batch runs, and tmp/, its TMPDIR."""

    def __init__(self, path):
        self.path, self.movies, self.tmp = path, path / "movies", path / "tmp"
        self.movies.mkdir(), self.tmp.mkdir()
        path_var = f"{ROOT}/usr/bin:{os.environ['PATH']}"
        self.env = dict(os.environ, PATH=path_var, TMPDIR=str(self.tmp))
        self.mounts, self.started, self.out = [], [], ""

    def put(self, source, *names):
        for name in names:
            shutil.copy(source, self.movies / name)

    def mount_full(self, name, source, *names):
        """A full tmpfs on path/name: copies of source first, then a file to fill it."""
        self.mounts.append(self.path / name)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", self.path / name])
        self.put(source, *names)
        with open(self.path / name / ".fill", "wb", buffering=0) as f, contextlib.suppress(OSError):
            while f.write(bytes(1 << 16)):
                pass

    def start(self, *args, **options):
        options = dict(stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True) | options
        self.started.append(
            subprocess.Popen([BATCH, *args], cwd=self.movies, env=self.env, **options)
        )
        return self.started[-1]

    def finish(self, p, timeout=60):
        out = p.communicate(timeout=timeout)[0]
        self.out += out
        assert not re.search("[\r\x1b]", out), "a terminal's codes, not on a terminal: " + out
        return p.returncode, out

    def run(self, *args, timeout=60):
        return self.finish(self.start(*args), timeout)

    def partials(self, where=None):  # beside the movies
        walk = os.walk(where or self.movies)
        return [n for _, _, names in walk for n in names if n[0] == "." and n.endswith(".part")]

    def wait_for_partials(self, p, count=1, where=None):
        deadline = time.monotonic() + 20
        while len(self.partials(where)) < count:
            assert p.poll() is None and time.monotonic() < deadline, "no partial stream made"
            time.sleep(0.01)

    def check_left(self):
        """Nothing running, no partial stream, and in TMPDIR only failures' logs."""
        deadline = time.monotonic() + 1
        while (left := running_in(self.path)) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not left, f"left running: {[Path(f'/proc/{p}/cmdline').read_bytes() for p in left]}"
        assert not self.partials(), self.out
        for entry in set(os.listdir(self.tmp)) - {".fill"}:
            logs = os.listdir(self.tmp / entry)
            assert re.search(LINE + ".* failed: ", self.out, re.M), f"{entry} left: {self.out}"
            assert entry.startswith("yuv2h264-batch.") and all(n.endswith(".log") for n in logs)

    def close(self):
        for p in self.started:
            p.kill()
            p.communicate()
        for pid in running_in(self.path):
            os.kill(pid, signal.SIGKILL)
        for mount in self.mounts:
            subprocess.run(["umount", "-l", mount])


@pytest.fixture
def box():
    with tempfile.TemporaryDirectory() as d:
        box = Box(Path(d))
        try:
            yield box
            box.check_left()  # every row's
        finally:
            box.close()


def test_damaged_movies_fail(box, sources):
    for name, options in (("cut1.mp4", ["-movflags", "+faststart"]), ("cut2.mkv", [])):
        movie = make_movie(box.movies / name, 4, "640x360", *options)
        os.truncate(movie, movie.stat().st_size // 2)
    box.put(sources["long"], "long.mp4")
    p = box.start("cut1.mp4", "cut2.mkv", "long.mp4")
    for line in p.stdout:
        box.out += line
        if line.startswith("[2/3] cut"):  # a failed job's partial goes now: it may fill a disk
            assert len(box.partials()) <= 1, box.out
    status, out = box.finish(p)
    assert status == 1 and len(re.findall(LINE + r"cut\d\.m\w\w failed: ", box.out, re.M)) == 2
    assert [path.name for path in box.movies.glob("*.h264")] == ["long.h264"], box.out


# Seconds before each stop signal (None: until a partial stream exists). The start's windows are
# narrow and move with the machine's speed: a sweep.
@pytest.mark.parametrize(
    "stops, number",
    [((round(i * 0.015, 3),), signal.SIGINT) for i in range(21)]
    + [((0.1, 0.005), signal.SIGINT), ((None,), signal.SIGINT), ((None, 0.01), signal.SIGINT)]
    + [((None,), signal.SIGHUP), ((None,), signal.SIGQUIT)],  # a terminal closed; Ctrl-\
    ids=str,
)
def test_stop_at_any_instant(box, sources, stops, number):
    names = [f"m{i}.mp4" for i in range(4)]
    box.put(sources["long"], *names)
    p = box.start("--", *names)
    for delay in stops:
        box.wait_for_partials(p) if delay is None else time.sleep(delay)
        p.send_signal(number)
    stopped = time.monotonic()
    status, out = box.finish(p)
    # Python's own start, before the program's first line, ends on SIGINT with status 1.
    python_start = status == 1 and out.strip() == "KeyboardInterrupt" and (stops[0] or 1) < 0.05
    # The whole batch takes some 7 s: one that goes on after the stop ends much later.
    assert status == -number or python_start, out
    assert time.monotonic() - stopped < 2.5, out
    assert len(list(box.movies.glob("*.h264"))) < len(names), out


def test_others_meanwhile_beside_its_jobs(box, sources):
    """Another batch on the same movie is stopped; a stream is made by someone else."""
    box.put(sources["long"], "long1.mp4", "long2.mp4")
    first = box.start("long1.mp4", "long2.mp4")
    box.wait_for_partials(first, 2)
    second = box.start("long1.mp4")
    box.wait_for_partials(second, 3)
    second.send_signal(signal.SIGINT)
    assert box.finish(second)[0] == -signal.SIGINT
    (box.movies / "long2.h264").write_bytes(b"mine")
    status, out = box.finish(first)
    assert status == 0 and "long2.mp4: its stream appeared meanwhile, left as it is" in out, out
    assert (box.movies / "long2.h264").read_bytes() == b"mine"
    probe = ["ffprobe", "-v", "error", "-count_frames", "-show_entries", "stream=nb_read_frames"]
    probe += ["-of", "csv=p=0", str(box.movies / "long1.h264")]
    assert subprocess.check_output(probe, text=True).strip() == "750", out


@pytest.mark.parametrize(
    "killed, options", [("job", []), ("driver", []), ("driver", ["--hosts", "this machine"])]
)
def test_killed_outright(box, sources, killed, options):
    """As the kernel's OOM killer would: the job's partial goes; with the driver, all it ran and
    made (a host's working directories too)."""
    (box.path / "this machine").write_text(":\n")
    box.env["HOME"] = str(box.path)  # where parallel works for ":"
    box.put(sources["long"], "long.mp4")
    p = box.start(*[box.path / o if o == "this machine" else o for o in options], "long.mp4")
    box.wait_for_partials(p, where=box.path)  # a host's are in its working directory
    for pid in running_in(box.path) if killed == "job" else [p.pid]:
        argv = Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
        if killed == "driver" or b"--encode-job" in argv and b"parallel" not in argv[0] + argv[1]:
            os.kill(pid, signal.SIGKILL)
    status, out = box.finish(p)
    if killed == "job":
        assert status == 1 and "No stream for long.mp4" in out, out
    else:
        assert status == -signal.SIGKILL and not list(box.movies.glob("*.h264"))
        workdirs = box.path / ".parallel/tmp"  # a host's, of its jobs: NAME-PID-JOB
        deadline = time.monotonic() + GRACE
        while (os.listdir(box.tmp) or list(workdirs.glob("*-*-*"))) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not list(workdirs.glob("*-*-*")), "a host's working directory is left"
        for script in Path("/tmp").glob("par-job-*"):  # parallel's, for ":", killed with it
            if b"--encode-job" in script.read_bytes():
                script.unlink()


def test_two_batches_on_the_same_movies(box, sources):
    names = [f"m{i}.mp4" for i in range(4)]
    box.put(sources["mid"], *names)
    for status, out in [box.finish(p) for p in [box.start("--", *names) for _ in range(2)]]:
        counts = re.search(SUMMARY, out)
        assert status == 0 and counts and counts[1] in (None, "4"), out
        assert sum(int(n) for n in counts.groups()[1:]) == 4, out
    assert all((box.movies / f"m{i}.h264").stat().st_size for i in range(4))


@pytest.mark.parametrize(
    "names, arguments, tmp",
    [
        pytest.param(["長" * 81 + "ab.mp4"], ["長" * 81 + "ab.mp4"], "tmp", id="250-byte stream"),
        pytest.param(
            ["a.mp4", "b.mp4"], ["a.h264", "a.mp4", "b.mp4"], "tmp", id="-- * after a run"
        ),
        pytest.param(["b.mp4"], ["b.mp4"], "{} {.}", id="TMPDIR named as parallel's {}"),
        pytest.param(["[error] reel.mkv"], ["[error] reel.mkv"], "tmp", id="a title of '[error] '"),
    ],
)
def test_encoded(box, sources, names, arguments, tmp):
    box.tmp = box.path / tmp
    box.tmp.mkdir(exist_ok=True)
    box.env["TMPDIR"] = str(box.tmp)
    box.put(sources["short"], *names)
    for name in names:  # ffmpeg tells a title and a comment at its informational level
        copy = ["-c", "copy", "-metadata", f"title={name}", "-metadata", f"comment={name}"]
        subprocess.run(
            ["ffmpeg", "-v", "error", "-i", sources["short"], *copy, "-y", name],
            cwd=box.movies,
            check=True,
        )
    (box.movies / "a.h264").write_bytes(b"mine")  # a first run's stream, to be left alone
    status, out = box.run("--", *arguments)
    assert status == 0 and (box.movies / Path(names[-1]).with_suffix(".h264")).stat().st_size, out
    assert (box.movies / "a.h264").read_bytes() == b"mine", out


@pytest.mark.parametrize(
    "movie, obstacle, said",
    [
        pytest.param("a.mp4", Path.mkdir, "a.h264", id="directory"),
        pytest.param("a.mp4", os.mkfifo, "a.h264", id="named pipe"),
        pytest.param("a.mp4", Path.touch, "a.h264", id="empty file"),
        pytest.param("a.mp4", lambda p: p.symlink_to("nowhere"), "a.h264", id="dangling link"),
        pytest.param("x" * 252 + ".m", None, "too long", id="stream name over 255 bytes"),
        pytest.param("a.mp4", "read-only", "read-only", id="a read-only folder"),
    ],
)
def test_refused_before_anything_starts(box, sources, movie, obstacle, said):
    box.put(sources["short"], movie)
    if obstacle == "read-only":
        if os.geteuid() != 0:
            pytest.skip("mounts the movies' folder read-only")
        box.mounts.append(box.movies)
        subprocess.run(["mount", "--bind", box.movies, box.movies], check=True)
        subprocess.run(["mount", "-o", "remount,ro,bind", box.movies], check=True)
    elif obstacle:
        obstacle(box.movies / "a.h264")
    before = sorted(os.listdir(box.movies))
    status, out = box.run("--", movie)
    assert status == 2 and said in out and "nothing started" in out, out
    assert sorted(os.listdir(box.movies)) == before and not os.listdir(box.tmp), out


@pytest.mark.skipif(os.geteuid() != 0, reason="mounts a tmpfs")
@pytest.mark.parametrize("full", ["movies", "tmp"])
def test_full_disk_blames_the_right_program(box, sources, full):
    box.mount_full(full, sources["short"], "a.mp4", "b.mp4")
    status, out = box.run("a.mp4", "b.mp4")
    assert "no verdict" not in out and "failed: ffmpeg" not in out, out
    if full == "movies":  # no room for a stream: each movie's line blames the encoder
        assert status == 1 and len(re.findall(LINE + r"\w\.mp4 failed: yuv2h264", out, re.M)) == 2
    else:  # no room for the batch's own files: TMPDIR is named, before anything starts
        assert status == 2 and f"{box.tmp}: No space left on device: nothing started" in out, out


def test_planning_2000_movies_with_streams(box):
    (box.movies / "movie").write_bytes(b"m")
    (box.movies / "stream").write_bytes(b"s")
    names = [f"m{i:04}.mp4" for i in range(2000)]
    for name in names:
        os.link(box.movies / "movie", box.movies / name)
        os.link(box.movies / "stream", box.movies / (name[:-4] + ".h264"))
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    status, out = box.run("--", *names, timeout=15)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    spent = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    assert status == 0 and "nothing to do" in out and spent < 1, f"{spent:.2f} s: {out}"


def test_progress_on_a_terminal(box, sources):
    box.put(sources["mid"], "a.mp4", "b.mp4")
    master, terminal = pty.openpty()
    p = box.start(
        "a.mp4", "b.mp4", stdin=terminal, stdout=terminal, stderr=terminal,
        start_new_session=True,  # the terminal its own, it is in the foreground
        preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0),
    )  # fmt: skip
    os.close(terminal)
    shown = b""
    while select.select([master], [], [], 60)[0]:
        try:
            shown += os.read(master, 1 << 16)
        except OSError:  # EIO: the batch's side is closed
            break
    os.close(master)
    text = shown.decode(errors="replace")
    assert p.wait(timeout=10) == 0 and re.search("running|fps", text), text
    # Each movie's line on a line of its own: what was there before it erased (CR, ESC [K).
    movies = [line for line in text.split("\n") if re.search(r"\[\d/2\]", line)]
    line = r"(.*\r\x1b\[K)?\[[12]/2\] ([ab])\.mp4 -> \2\.h264, \d+ s\r"
    assert len(movies) == 2 and all(re.fullmatch(line, m, re.S) for m in movies), text


@pytest.mark.parametrize(
    "function, argument, expected",
    [
        ("stream_name", "a.b.mp4", "a.b.h264"),
        ("stream_name", ".hidden", ".hidden.h264"),
        ("shown", os.fsdecode(b"new\nline \xff"), "$'new\\nline \\377'"),
    ],
)
def test_names(batch, function, argument, expected):
    assert getattr(batch, function)(argument) == expected


def test_an_error_amid_a_long_log(batch):
    ffmpeg = batch.Program("ffmpeg", None)
    for line in (
        [b"[info] frame\n"] * 9000 + [b"[h264 @ 0x1] [error] cut\n"] + [b"[info] f\n"] * 9000
    ):
        batch.keep_said(ffmpeg, line)
    assert batch.last_error(ffmpeg) == "cut" and len(ffmpeg.said) < 2 * batch.LOG_KEEP_BYTES


@pytest.fixture(scope="module")
def batch():
    """The command as a module: its functions, without running it."""
    loader = importlib.machinery.SourceFileLoader("yuv2h264_batch", BATCH)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    sys.modules[loader.name] = module  # where its dataclasses look for their module
    try:
        loader.exec_module(module)
        yield module
    finally:
        del sys.modules[loader.name]

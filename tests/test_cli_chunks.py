"""The command line takes lines in chunks and in worker threads: its output, restore map,
messages and exit status are those of taking the lines one by one in one process, which is what
it still does when the extension's per-chunk functions decline (the reference here)."""

import io
import os
import signal
import subprocess
import sys
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from kestrix import cli as kestrix_cli

from conftest import luhn, rrn

PHONE = "010-1234-5678"
CARD = luhn("457296011234567")
RRN = rrn("900101123456")
RUN = "0123456789ab"
CLI = [sys.executable, "-m", "kestrix"]

# Pieces of lines: personal data, cue words that could reach across a line break, token-shaped
# texts (of this very run too), a stray "\r", characters beyond U+FFFF.
PIECES = [PHONE, CARD, f"{RRN[:6]}-{RRN[6:]}", "hong@example.com", "전화", "계좌번호", " ", "가나다", "010",
          "1234", "5678", "[[PII:0]]", "[[PII-x:3]]", "\r", "😀", "a@example.com." + CARD]
lines = st.lists(st.sampled_from(PIECES), max_size=6).map("".join)
endings = st.sampled_from(["\n", "\r\n"])
documents = st.tuples(st.lists(st.tuples(lines, endings), max_size=8), st.booleans()).map(
    lambda t: "".join(a + b for a, b in t[0]) + ("" if t[1] else "tail " + PHONE))


class LineByLine:
    """The extension with its per-chunk functions declining every chunk."""

    def __init__(self, core):
        self._core = core

    def __getattr__(self, name):
        return getattr(self._core, name)

    @staticmethod
    def _mask_lines(*args):
        return None

    @staticmethod
    def _detect_lines(*args):
        return None


COMMANDS = [
    ["detect", "--show-text"],
    ["mask"],
    ["mask", "--verify", "--policy", "partial:2,2"],
    ["mask", "--verify", "--policy", "tokenize", "--restore-out", "{vault}/r.json"],
]


def run_main(argv, capsysbinary):
    try:
        code = kestrix_cli.main(argv)
    except SystemExit as e:
        code = e.code
    out, err = capsysbinary.readouterr()
    return code, out, err


def both(monkeypatch, capsysbinary, tmp_path, command, files, jobs=1, chunk=7):
    """(chunked, line by line): exit status, output, messages and restore map of each."""
    monkeypatch.setattr(kestrix_cli, "_run_id", lambda: RUN)
    results = []
    for reference in (False, True):
        vault = tmp_path / ("ref" if reference else "new")
        vault.mkdir(exist_ok=True)
        restore = vault / "r.json"
        restore.unlink(missing_ok=True)
        argv = [a.format(vault=vault) for a in command] + [str(f) for f in files]
        with monkeypatch.context() as m:
            m.setattr(kestrix_cli, "CHUNK_BYTES", chunk)
            if reference:
                m.setattr(kestrix_cli, "core", LineByLine(kestrix_cli.core))
            else:
                argv += ["--jobs", str(jobs)]
            results.append((*run_main(argv, capsysbinary), restore.read_bytes() if restore.exists() else None))
    return results


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(documents, st.sampled_from(COMMANDS), st.sampled_from([1, 7, 64]))
def test_chunks_give_what_lines_one_by_one_give(monkeypatch, capsysbinary, tmp_path, text, command, chunk):
    source = tmp_path / "in.txt"
    source.write_bytes(text.encode())
    new, ref = both(monkeypatch, capsysbinary, tmp_path, command, [source, source], chunk=chunk)
    assert new == ref


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("bad", [
    b"\xff\xfe",  # not UTF-8
    f"[[PII-{RUN}:0]]".encode(),  # a token of this very run: fed back
])
def test_a_line_that_fails_fails_after_the_lines_before_it(monkeypatch, capsysbinary, tmp_path, command, bad):
    source = tmp_path / "in.txt"
    source.write_bytes(f"전화 {PHONE}\r\n".encode() * 5 + b"x " + bad + b"\n" + f"{CARD}\n".encode() * 3)
    new, ref = both(monkeypatch, capsysbinary, tmp_path, command, [source], chunk=1 << 20)
    assert new == ref
    if bad == b"\xff\xfe" or "tokenize" in command:
        assert new[0] == 2 and new[2].startswith(f"kestrix: {source}:6".encode())
        assert new[1].count(b"\n") == 5


def many_lines(n):
    return "".join(f"{i}번째 줄 전화 {PHONE} 메일 a@example.com.{CARD}\n" for i in range(n))


@pytest.mark.parametrize("command", COMMANDS)
def test_jobs_give_what_one_job_gives(monkeypatch, capsysbinary, tmp_path, command):
    a, b = tmp_path / "a.txt", tmp_path / "b.txt"
    a.write_text(many_lines(3000), encoding="utf-8")
    b.write_text("없음\n" + many_lines(5), encoding="utf-8")
    new, ref = both(monkeypatch, capsysbinary, tmp_path, command, [a, b], jobs=3, chunk=4096)
    assert new == ref
    assert new[1].count(b"\n") >= 3006


def test_a_worker_error_is_reported_as_with_one_job(monkeypatch, capsysbinary, tmp_path):
    source = tmp_path / "in.txt"
    source.write_text(many_lines(50) + "FAIL\n" + many_lines(50), encoding="utf-8")
    real = kestrix_cli.core

    class Failing(LineByLine):
        @staticmethod
        def _mask_lines(chunk, *args):
            if b"FAIL" in chunk:
                raise MemoryError
            return real._mask_lines(chunk, *args)

    monkeypatch.setattr(kestrix_cli, "core", Failing(real))
    monkeypatch.setattr(kestrix_cli, "CHUNK_BYTES", 100)
    results = [run_main(["mask", str(source), "--jobs", str(jobs)], capsysbinary) for jobs in (1, 3)]
    assert results[0] == results[1]
    assert results[0][0] == 2 and results[0][2] == b"kestrix: out of memory\n"
    assert 40 < results[0][1].count(b"\n") <= 50  # the chunks before the failing one


@pytest.mark.parametrize("whole", [[], ["--whole"]])
def test_jobs_write_what_came_before_an_input_that_fails(monkeypatch, capsysbinary, tmp_path, whole):
    good, bad = tmp_path / "good.txt", tmp_path / "bad.txt"
    good.write_text(many_lines(100), encoding="utf-8")
    bad.write_bytes(b"ok\n\xff\n")
    new, ref = both(monkeypatch, capsysbinary, tmp_path, ["mask", *whole], [good, good, bad, good], jobs=2, chunk=512)
    assert new == ref
    assert new[0] == 2 and new[1].count(b"\n") == 200 + (0 if whole else 1)


@pytest.mark.parametrize("value", ["0", "-1", "x"])
def test_jobs_must_be_a_count(capsysbinary, value):
    code, _, err = run_main(["mask", "--jobs", value], capsysbinary)
    assert code == 2 and b"argument -j/--jobs: expected a number of jobs of at least 1" in err


def threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_a_signal_ends_the_workers_and_removes_the_temporary_files(tmp_path, signum):
    vault = tmp_path / "vault"
    vault.mkdir()
    p = subprocess.Popen([*CLI, "mask", "--jobs", "2", "--policy", "tokenize", "--restore-out", str(vault / "r.json"),
                          "-o", str(tmp_path / "out.txt")],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    p.stdin.write(many_lines(200).encode())
    p.stdin.flush()
    deadline = time.monotonic() + 30
    while threads(p.pid) < 2 and time.monotonic() < deadline:  # a worker has started
        time.sleep(0.02)
    assert threads(p.pid) >= 2
    p.send_signal(signum)
    _, err = p.communicate(timeout=60)
    assert p.returncode == 128 + signum, err
    assert err.decode().startswith("kestrix: ") and len(err.decode().splitlines()) == 1
    assert list(vault.iterdir()) == [] and [f.name for f in tmp_path.iterdir()] == ["vault"]


@pytest.mark.parametrize("jobs", [1, 2])
def test_leftovers_are_named_by_the_line_of_their_own_file(monkeypatch, capsysbinary, tmp_path, jobs):
    # Once the card after the dot is masked, the address shows: a leftover on every third line.
    a, b = tmp_path / "a.txt", tmp_path / "b.txt"
    a.write_text("".join(f"줄 {i}\n" if i % 3 else f"a@example.com.{CARD}\n" for i in range(1, 40)), encoding="utf-8")
    b.write_text("".join(f"줄 {i}\n" if i % 3 else f"b@example.com.{CARD}\n" for i in range(1, 10)), encoding="utf-8")
    monkeypatch.setattr(kestrix_cli, "CHUNK_BYTES", 64)
    monkeypatch.setattr(kestrix_cli, "SHOWN_LEFTOVERS", 100)
    code, _, err = run_main(["mask", "--verify", "--jobs", str(jobs), str(a), str(b)], capsysbinary)
    assert code == 3
    want = [f"kestrix: {a}:{i}:1: email still found in the masked output" for i in range(3, 40, 3)]
    want += [f"kestrix: {b}:{i}:1: email still found in the masked output" for i in range(3, 10, 3)]
    assert err.decode().splitlines()[:-1] == want


class Pipe(io.BytesIO):
    """Input that cannot be read again from an earlier place."""

    def seekable(self):
        return False

    def seek(self, *args):
        raise io.UnsupportedOperation("seek")


@settings(max_examples=60, deadline=None)
@given(st.lists(st.binary(max_size=9).map(lambda b: b.replace(b"\n", b"")), max_size=12),
       st.sampled_from([b"\n", b"\r\n"]), st.booleans(), st.integers(1, 24), st.booleans())
def test_chunks_hold_whole_lines_in_order_from_a_file_and_a_pipe(pieces, nl, last, size, numbered):
    data = nl.join(pieces) + (nl if last else b"")
    for source in (io.BytesIO(data), Pipe(data)):
        chunks = [(c, c.lines()) for c in kestrix_cli._chunks(source, "in", size, numbered)]
        assert b"".join(lines for _, lines in chunks) == data
        assert all(lines.endswith(b"\n") for _, lines in chunks[:-1]) and all(lines for _, lines in chunks)
        if source.seekable():  # read again from the unfinished line: a chunk is one read, or a long line and more
            assert all(len(c.raw) <= size or (lines.find(b"\n") + 1 or len(lines)) > size for c, lines in chunks)
        starts = [1 + sum(lines.count(b"\n") for _, lines in chunks[:i]) for i in range(len(chunks))]
        assert [c.line for c, _ in chunks] == (starts if numbered else [1] + [0] * (len(chunks) - 1))[:len(chunks)]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.binary(max_size=12).map(lambda b: b.replace(b"\n", b"")), max_size=40),
       st.integers(1, 3), st.integers(1, 16), st.booleans())
def test_the_last_chunks_of_a_file_shrink_when_jobs_share_them(monkeypatch, tmp_path, pieces, jobs, tail, numbered):
    monkeypatch.setattr(kestrix_cli, "TAIL_BYTES", tail)
    data = b"\n".join(pieces) + b"\n"
    path = tmp_path / "in.txt"
    path.write_bytes(data)
    size = 48
    with open(path, "rb") as f:
        chunks = [(c.line, c.lines(), len(c.raw)) for c in kestrix_cli._chunks(f, "in", size, numbered, jobs)]
    assert b"".join(lines for _, lines, _ in chunks) == data
    starts = [1 + sum(lines.count(b"\n") for _, lines, _ in chunks[:i]) for i in range(len(chunks))]
    assert [line for line, _, _ in chunks] == (starts if numbered else [1] + [0] * (len(chunks) - 1))[:len(chunks)]
    # A chunk is one read (or a line longer than the read, and the rest of it): near the end a
    # read takes a 2 * jobs-th of what is left, TAIL_BYTES at least; with one job, `size`.
    at = 0
    for _, lines, raw in chunks:
        left = len(data) - at
        read = size if jobs == 1 else min(size, max(tail, left // (2 * jobs)))
        if lines.find(b"\n") + 1 <= read:
            assert raw == min(read, left)
        at += len(lines)
    if jobs > 1 and len(data) >= 4 * size:
        assert len(chunks[-1][1]) <= max(tail, 13) < size


def test_a_file_that_grows_while_read_is_read_on_in_whole_chunks(tmp_path):
    path = tmp_path / "in.txt"
    path.write_bytes(b"a\n" * 100)
    with open(path, "rb") as f:
        reader = kestrix_cli._chunks(f, "in", 32, True, 2)
        first = next(reader)
        with open(path, "ab") as g:
            g.write(b"b\n" * 200)
        rest = list(reader)
    assert first.lines() + b"".join(c.lines() for c in rest) == b"a\n" * 100 + b"b\n" * 200
    assert all(len(c.lines()) == 32 for c in rest[-10:-1])  # past the first size: whole chunks again


def worker_threads():
    import threading
    return [t for t in threading.enumerate() if t.name.startswith("kestrix-worker")]


def chunks(n):
    return (kestrix_cli.Chunk("f", i + 1, b"x\n") for i in range(n))


@pytest.mark.parametrize("failing", [0, 3, 7])
def test_a_worker_failure_is_raised_in_input_order_after_the_results_before_it(failing):
    def job(chunk):
        if chunk.line - 1 == failing:
            raise OSError(5, f"chunk {failing}")
        return chunk.line

    seen = []
    with pytest.raises(OSError, match=f"chunk {failing}"):
        with kestrix_cli.Workers(2, job) as workers:
            for unit, result in workers.results(chunks(8)):
                seen.append(result)
    assert seen == list(range(1, failing + 1))
    assert worker_threads() == []


def test_a_stop_waits_for_the_chunks_under_way_and_drops_the_others():
    calls = []

    def job(chunk):
        calls.append(chunk.line)
        time.sleep(0.2)
        return chunk.line

    with kestrix_cli.Workers(2, job) as workers:
        results = workers.results(chunks(20))
        assert next(results)[1] == 1   # five chunks handed out by now, two at a time taken
    assert worker_threads() == []
    assert 2 <= len(calls) <= 4

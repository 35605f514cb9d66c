"""Command-line front end of kestrix: detect, mask and unmask files or standard input.

The `kestrix` command and `python -m kestrix` run it.

    kestrix detect [FILE ...]            one JSON object per finding, a summary on stderr
    kestrix mask [FILE ...]              the masked text
    kestrix unmask --restore MAP [FILE ...]

Input is read once, in chunks of whole lines, so memory stays constant over many lines; one long
line is held whole. Each line of a chunk is detected or masked on its own, in one call of the
extension per chunk (and with --jobs N in N worker threads, taken in input order); a chunk
that fails somewhere is redone line by line, so that output and messages are those of taking
the lines one by one. Nothing but the output (standard output or -o FILE) and the restore map
is written; the input is never copied to disk.
"""

from __future__ import annotations

import argparse
import collections
import importlib
import os
import re
import signal
import stat
import sys

import kestrix as kx

# What only some runs need (json, threading) is imported where it is used: the start
# of every run pays for each module imported here.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import IO, Any, Callable, Iterator, NoReturn

# The extension's private functions for the command line (outside the public surface and its stub).
core: Any = importlib.import_module("kestrix._kestrix")

EXIT_FOUND = 1
EXIT_FAILED = 2
EXIT_RESIDUE = 3

KEY_MIN = 16
KEY_MAX = 1024
SHOWN_LEFTOVERS = 20
KEPT_INPUT_PREFIXES = 256

EXIT_STATUS_HELP = """\
exit status:
  0    done
  1    detect --fail-on-find: something was found
  2    failure (bad usage or input, unreadable or unwritable file, broken token, output
       closed early); one line on stderr says what and where
  3    mask --verify: the masked output still holds something the masking did not cover
  128+N  stopped by signal N (130 Ctrl-C, 143 SIGTERM); temporary files are removed
"""


class CliError(Exception):
    """A failure that ends the run with a one-line message and status 2."""


class OutputError(Exception):
    """Writing the output failed; `error` is the OSError."""

    def __init__(self, error: OSError):
        super().__init__(error.strerror)
        self.error = error


_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
_temporaries: set[str] = set()  # temporary files not yet renamed into place; main removes them


def _temporary(directory: str, prefix: str) -> tuple[int, str]:
    """A private temporary file, listed in _temporaries before a termination signal can act."""
    held = signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
    try:
        fd, path = _create_private(directory, prefix)
        _temporaries.add(path)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)
    return fd, path


_PRIVATE_FLAGS = os.O_RDWR | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)


def _create_private(directory: str, prefix: str) -> tuple[int, str]:
    """A new file of mode 0600 under a random name in `directory`, as tempfile.mkstemp makes it
    (whose module, with the random and shutil modules it imports, took 2 ms of every start)."""
    for _ in range(100):
        path = os.path.join(directory, prefix + os.urandom(6).hex())
        try:
            return os.open(path, _PRIVATE_FLAGS, 0o600), path
        except FileExistsError:
            continue
    raise FileExistsError(17, "No usable temporary file name found")


def _remove_temporaries() -> None:
    for path in _temporaries:
        try:
            os.unlink(path)
        except OSError:
            pass
    _temporaries.clear()


class Stopped(BaseException):
    """A termination signal arrived; raised where the program stands so that cleanup runs."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


# ---- options ----------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_FAILED, f"kestrix: {message} (see {self.prog} --help)\n")


def _terminal_columns() -> int:
    """shutil.get_terminal_size().columns, without importing shutil (and the compression
    modules it imports), which argparse does for every parser and took 1.5 ms of every start."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
        except (AttributeError, ValueError, OSError):
            columns = 0
    return columns or 80


class _Formatter(argparse.RawDescriptionHelpFormatter):
    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None):
        super().__init__(prog, indent_increment, max_help_position,
                         _terminal_columns() - 2 if width is None else width)


def _add_config_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("detection settings")
    passes = {"nfc": "composing decomposed Hangul jamo", "fold": "folding full-width characters",
              "hangul": "reading Hangul numerals as digits", "lookalike": "reading look-alike letters as digits",
              "separator": "absorbing separators inside numbers"}
    for name, what in passes.items():
        g.add_argument(f"--no-{name}", dest=name, action="store_false", help=f"turn off {what}")
    g.add_argument("--context-window", type=int, metavar="CHARS", help="how far cue words are looked for")
    g.add_argument("--min-score", type=float, metavar="X", help="score a finding needs")
    g.add_argument("--min-context", type=float, metavar="X", help="context score of readings that need a cue")
    g.add_argument("--min-veto", type=float, metavar="X", help="veto score that rejects a reading")
    g.add_argument("--numeral-min-digits-without-context", type=int, metavar="N",
                   help="digits a Hangul numeral needs to be read without a cue")
    g.add_argument("--numeral-min-digits-with-context", type=int, metavar="N",
                   help="digits a Hangul numeral needs to be read next to a cue")


def _config(args: argparse.Namespace) -> kx.Config:
    c = kx.Config()
    try:
        for name in ("nfc", "fold", "hangul", "lookalike", "separator"):
            setattr(c, name, getattr(args, name))
        for name in ("context_window", "min_score", "min_context", "min_veto",
                     "numeral_min_digits_without_context", "numeral_min_digits_with_context"):
            value = getattr(args, name)
            if value is not None:
                setattr(c, name, value)
    except (OverflowError, TypeError, ValueError) as e:
        raise CliError(f"bad setting: {e}") from None
    return c


def read_key(path: str) -> bytes:
    """The hash key in a file: its bytes without one trailing line break, KEY_MIN to KEY_MAX long."""
    try:
        with open(path, "rb") as f:
            key = f.read(KEY_MAX + 3)
    except OSError as e:
        raise CliError(f"cannot read hash key file {path!r}: {e.strerror}") from None
    key = key[:-2] if key.endswith(b"\r\n") else key[:-1] if key.endswith(b"\n") else key
    if len(key) < KEY_MIN:
        raise CliError(f"hash key file {path!r} holds {len(key)} bytes; a key needs at least {KEY_MIN} "
                       "(e.g. head -c 32 /dev/urandom > KEYFILE)")
    if len(key) > KEY_MAX:
        raise CliError(f"hash key file {path!r} is longer than {KEY_MAX} bytes; is it a key?")
    return key


def parse_policy(spec: str) -> kx.Policy:
    """`label`, `code`, `fill:CHAR`, `fixed:TEXT`, `partial:P,S[,CHAR]`, `hash:KEYFILE[:LENGTH]`,
    `tokenize`."""
    kind, _, arg = spec.partition(":")
    try:
        if kind == "label" and not arg:
            return kx.Policy.redact_label()
        if kind == "code" and not arg:
            return kx.Policy.redact_code()
        if kind == "tokenize" and not arg:
            return kx.Policy.tokenize()
        if kind == "fill":
            return kx.Policy.redact_fill(arg)
        if kind == "fixed":
            return kx.Policy.redact_fixed(arg)
        if kind == "partial":
            parts = arg.split(",", 2)
            if len(parts) < 2:
                raise ValueError("expected partial:PREFIX,SUFFIX[,CHAR]")
            fill = parts[2] if len(parts) == 3 else "*"
            return kx.Policy.partial(int(parts[0]), int(parts[1]), fill)
        if kind == "hash" and arg:
            path, _, length = arg.rpartition(":")
            if not (path and length.isdigit()):
                path, length = arg, ""
            return kx.Policy.hash(read_key(path), int(length) if length else 12)
    except (ValueError, OverflowError, TypeError) as e:
        raise CliError(f"bad policy {spec!r}: {e}") from None
    raise CliError(f"bad policy {spec!r}: expected label, code, fill:CHAR, fixed:TEXT, "
                   "partial:P,S[,CHAR], hash:KEYFILE[:LENGTH] or tokenize")


def _policy_set(args: argparse.Namespace) -> kx.PolicySet:
    ps = kx.PolicySet(parse_policy(args.policy))
    for item in args.entity_policy:
        entity, sep, spec = item.partition("=")
        if not sep:
            raise CliError(f"bad --entity-policy {item!r}: expected ENTITY=POLICY")
        if entity not in kx.entity_names():
            raise CliError(f"bad --entity-policy {item!r}: unknown entity {entity!r}; expected one of "
                           + ", ".join(kx.entity_names()))
        ps = ps.with_entity(entity, parse_policy(spec))
    return ps


# ---- files ------------------------------------------------------------------------------


def _identity(st: os.stat_result) -> tuple[int, int]:
    return st.st_dev, st.st_ino


def _stdout_file() -> os.stat_result | None:
    """The status of the regular file that standard output is redirected to, if it is one."""
    try:
        st = os.fstat(sys.stdout.fileno())
    except (OSError, ValueError):
        return None
    return st if stat.S_ISREG(st.st_mode) else None


def _written_files(*paths: str | None) -> set[tuple[int, int]]:
    """The files this run writes: standard output when it is a regular file, and the given paths
    that exist already."""
    out = _stdout_file()
    written = {_identity(out)} if out is not None and not any(paths[:1]) else set()
    for path in paths:
        if path:
            try:
                written.add(_identity(os.stat(path)))
            except OSError:
                pass
    return written


def _check_inputs(files: list[str], written: set[tuple[int, int]]) -> None:
    """Refuses, before anything is written, inputs that cannot be read or that are an output."""
    paths: list[str | None] = list(files) or [None]
    for path in paths:
        name = path if path is not None else "standard input"
        try:
            st = os.stat(path) if path is not None else os.fstat(sys.stdin.fileno())
        except (OSError, ValueError) as e:
            raise CliError(f"cannot read {name!r}: {getattr(e, 'strerror', None) or e}") from None
        if stat.S_ISDIR(st.st_mode):
            raise CliError(f"cannot read {name!r}: Is a directory")
        if path is not None and not os.access(path, os.R_OK):
            raise CliError(f"cannot read {name!r}: Permission denied")
        if stat.S_ISREG(st.st_mode) and _identity(st) in written:
            raise CliError(f"{name}: input file is output file")


class Progress:
    """A progress bar on stderr, shown only when stderr is a terminal and the size is known."""

    def __init__(self, files: list[str]):
        try:
            total = sum(os.path.getsize(p) for p in files) if files else None
        except OSError:
            total = None
        self.total = total if total and sys.stderr.isatty() else None
        self.done = 0
        self.shown = -1

    def advance(self, nbytes: int) -> None:
        if self.total is None:
            return
        self.done += nbytes
        pct = min(100, self.done * 100 // self.total)
        if pct != self.shown:
            self.shown = pct
            sys.stderr.write(f"\r[{'#' * (pct // 4):<25}] {pct:3d}%")
            sys.stderr.flush()

    def close(self) -> None:
        if self.total is not None and self.shown >= 0:
            sys.stderr.write("\n")


class Document:
    """One unit of work: a line (or a whole file with --whole) with where it stands."""

    __slots__ = ("name", "line", "text", "nl", "nbytes")

    def __init__(self, name: str, line: int, text: str, nl: str, nbytes: int):
        self.name, self.line, self.text, self.nl, self.nbytes = name, line, text, nl, nbytes

    def where(self, offset: int | None = None) -> str:
        """NAME:LINE[:COLUMN] of a character offset of the text (1-based, lines split at \\n)."""
        if offset is None:
            return f"{self.name}:{self.line}"
        line, column = _LineIndex(self.text, self.line).at(offset)
        return f"{self.name}:{line}:{column}"


class _LineIndex:
    """Line and 1-based column of character offsets of one text, asked in ascending order."""

    def __init__(self, text: str, first_line: int):
        self.text, self.line, self.pos, self.start = text, first_line, 0, 0

    def at(self, offset: int) -> tuple[int, int]:
        breaks = self.text.count("\n", self.pos, offset)
        if breaks:
            self.line += breaks
            self.start = self.text.rfind("\n", self.pos, offset) + 1
        self.pos = offset
        return self.line, offset - self.start + 1


def _decode(name: str, line: int, raw: bytes | memoryview) -> str:
    try:
        return str(raw, "utf-8")
    except UnicodeDecodeError as e:
        before = bytes(raw[:e.start])
        line += before.count(b"\n")
        column = e.start - (before.rfind(b"\n") + 1) + 1
        raise CliError(f"{name}:{line}: not UTF-8 text (byte {column} of the line)") from None


class Chunk:
    """Whole lines of one input as read: the first `end` bytes of `raw` (a block read past its
    last line is not copied to cut it), and the number of the first line."""

    __slots__ = ("name", "line", "raw", "end")

    def __init__(self, name: str, line: int, raw: bytes, end: int | None = None):
        self.name, self.line, self.raw = name, line, raw
        self.end = len(raw) if end is None else end

    def lines(self) -> bytes:
        return self.raw if self.end == len(self.raw) else self.raw[:self.end]


CHUNK_BYTES = 1 << 20
TAIL_BYTES = 1 << 16
WRITE_BYTES = 1 << 16
SYNC_BYTES = 1 << 23


def _chunks(f: IO[bytes], name: str, size: int, numbered: bool, jobs: int = 1) -> Iterator[Chunk]:
    """The lines of an input in chunks of about `size` bytes (a longer line is a chunk of its
    own). A read returns what a pipe holds, so lines that arrive slowly are not held back.
    Unless `numbered`, only the first chunk knows its first line's number (1), the others 0:
    the caller, which takes the chunks in order, counts the lines that came before them.
    With more than one job, the last 2 * jobs chunks of a file shrink (to TAIL_BYTES at least),
    so that the workers run out of work at nearly the same time."""
    rest: list[bytes] = []  # the unfinished line, in the pieces read
    number = 1
    # A file is read again from its unfinished line on, and a chunk is the block as read, its
    # end at its last line: neither that line joined to the next block nor the block cut is a
    # copy of every chunk.
    seekable = f.seekable()
    end = _file_end(f) if seekable and jobs > 1 else None
    while block := f.read1(size if end is None else _tail_size(size, end - f.tell(), jobs)):  # type: ignore[attr-defined]
        cut = block.rfind(b"\n") + 1
        if not cut:
            rest.append(block)
            continue
        chunk = Chunk(name, number, b"".join([*rest, block[:cut]])) if rest else Chunk(name, number, block, cut)
        rest = []
        if cut < len(block):
            if seekable:
                f.seek(cut - len(block), os.SEEK_CUR)
            else:
                rest.append(block[cut:])
        del block
        yield chunk
        number = number + chunk.raw.count(b"\n", 0, chunk.end) if numbered else 0
        del chunk
    if rest:
        yield Chunk(name, number, b"".join(rest))


def _file_end(f: IO[bytes]) -> int | None:
    """The size of a regular file (as it is now), else None."""
    try:
        st = os.fstat(f.fileno())
    except (OSError, ValueError):
        return None
    return st.st_size if stat.S_ISREG(st.st_mode) else None


def _tail_size(size: int, left: int, jobs: int) -> int:
    """The size of the next read with `left` bytes to go: `size`, or near the end a share of what
    is left (a file that grew past its first size is read on in whole chunks)."""
    if left <= 0:
        return size
    return min(size, max(TAIL_BYTES, left // (2 * jobs)))


def _lines_of(chunk: Chunk) -> Iterator[Document]:
    """The lines of a chunk one by one."""
    number = chunk.line
    at = 0
    raw, size = chunk.raw, chunk.end
    while at < size:
        end = raw.find(b"\n", at, size) + 1
        if not end:
            end, nl = size, ""
        else:
            nl = "\r\n" if end - at >= 2 and raw[end - 2] == 13 else "\n"
        text = _decode(chunk.name, number, memoryview(raw)[at:end - len(nl)])
        yield Document(chunk.name, number, text, nl, end - at)
        number += 1
        at = end


def _units(files: list[str], whole: bool, numbered: bool = True, jobs: int = 1) -> Iterator[Document | Chunk]:
    """Every input read once: each file as one document with whole, else in chunks of lines
    (numbered as _chunks says); a progress bar counts what was taken."""
    progress = Progress(files)
    # With a bar, chunks small enough for it to move one step at a time.
    size = min(CHUNK_BYTES, max(1 << 12, progress.total // 200)) if progress.total else CHUNK_BYTES
    paths: list[str | None] = list(files) or [None]
    for path in paths:
        name = path if path is not None else "<stdin>"
        try:
            f = open(path, "rb") if path is not None else open(sys.stdin.fileno(), "rb", closefd=False)
        except OSError as e:
            raise CliError(f"cannot read {name!r}: {e.strerror}") from None
        with f:
            try:
                if whole:
                    raw = f.read()
                    text, nbytes = _decode(name, 1, raw), len(raw)
                    del raw
                    yield Document(name, 1, text, "", nbytes)
                    progress.advance(nbytes)
                    continue
                for chunk in _chunks(f, name, size, numbered, jobs):
                    nbytes = chunk.end
                    yield chunk
                    del chunk
                    progress.advance(nbytes)
            except OSError as e:
                raise CliError(f"cannot read {name!r}: {e.strerror}") from None
    progress.close()


def _documents(files: list[str], whole: bool) -> Iterator[Document]:
    """Every line (or every file with whole) of the inputs, one by one."""
    for unit in _units(files, whole):
        if isinstance(unit, Document):
            yield unit
        else:
            yield from _lines_of(unit)


# ---- workers ----------------------------------------------------------------------------


def _start_worker() -> None:
    # Termination signals are the main thread's to take: it stops the run and cleans up.
    signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)


class _Task:
    """A chunk handed to a worker thread: its result or exception once `ready` is released."""

    __slots__ = ("unit", "ready", "value", "error")

    def __init__(self, unit: Chunk, lock: Any):
        self.unit, self.ready, self.value, self.error = unit, lock, None, None
        lock.acquire()

    def result(self) -> Any:
        with self.ready:
            pass
        if self.error is not None:
            raise self.error
        return self.value


class Workers:
    """Chunks of lines done by `job` in `jobs` threads (in this one when jobs is 1), their
    results taken in input order; a document (--whole) is left to the caller (result None).

    The extension lets go of the interpreter lock while it masks or detects a chunk, so the
    threads work side by side while this one reads and writes; nothing is copied to another
    process and back. A stop (a signal, a failure) waits for the chunks under way, a call each,
    and drops the ones not started. Plain threads and a queue, not an executor: its import
    (logging among others) would be a fixed cost of every run with more than one job."""

    def __init__(self, jobs: int, job: Callable[[Chunk], Any]):
        self.job = job
        self.jobs = jobs
        self.threads: list[Any] = []
        self.stopping = False
        if jobs > 1:
            import threading  # only here: a one-job run never needs it
            try:
                from _queue import SimpleQueue  # queue.SimpleQueue itself, without queue's imports
            except ImportError:  # pragma: no cover (an interpreter without the C module)
                from queue import SimpleQueue
            self.lock = threading.Lock
            self.tasks: Any = SimpleQueue()
            for n in range(jobs):
                thread = threading.Thread(target=self._work, name=f"kestrix-worker-{n}", daemon=True)
                thread.start()
                self.threads.append(thread)

    def _work(self) -> None:
        _start_worker()
        while (task := self.tasks.get()) is not None:
            try:
                if not self.stopping:
                    task.value = self.job(task.unit)
            except BaseException as e:
                task.error = e
            finally:
                task.ready.release()
                del task

    def __enter__(self) -> Workers:
        return self

    def __exit__(self, kind: type | None, *exc: object) -> None:
        self.stopping = True
        for _ in self.threads:
            self.tasks.put(None)
        for thread in self.threads:
            thread.join()
        self.threads = []

    def results(self, units: Iterator[Document | Chunk]) -> Iterator[tuple[Document | Chunk, Any]]:
        if not self.threads:
            for unit in units:
                yield unit, self.job(unit) if isinstance(unit, Chunk) else None
            return
        pending: collections.deque = collections.deque()
        failure: BaseException | None = None
        while True:
            try:
                unit = next(units)
            except StopIteration:
                break
            except Exception as e:  # an input that cannot be read: what came before it is written first
                failure = e
                break
            task = None
            if isinstance(unit, Chunk):
                task = _Task(unit, self.lock())
                self.tasks.put(task)
            pending.append((unit, task))
            while len(pending) > 2 * self.jobs:
                yield self._next(pending)
        while pending:
            yield self._next(pending)
        if failure is not None:
            raise failure

    @staticmethod
    def _next(pending: collections.deque) -> tuple[Document | Chunk, Any]:
        unit, task = pending.popleft()
        return unit, task.result() if task is not None else None


def _jobs(value: str) -> int:
    try:
        n = int(value)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"expected a number of jobs of at least 1, got {value!r}")
    return n


class _Temporary:
    """A file written under the temporary name `tmp` until it is renamed into place."""

    f: IO
    tmp: str | None

    def _placed(self) -> None:
        if self.tmp is not None:
            _temporaries.discard(self.tmp)
        self.tmp = None

    def abort(self) -> None:
        if self.tmp is not None:
            _discard(self.f, self.tmp)
            self.tmp = None


class Output(_Temporary):
    """Standard output, or FILE: then a temporary file beside it that replaces FILE only when the
    run succeeded, so that a refused or failed run leaves an existing FILE as it was.

    FILE is forced to disk before it takes FILE's place. So that this last step does not wait
    for the whole output, every SYNC_BYTES written are handed to the disk as the run goes on, by
    an fdatasync in a thread of its own (one at a time); its error fails the run at the end."""

    def __init__(self, path: str | None):
        self.path = path
        self.tmp: str | None = None
        self.unsynced = 0
        self.syncing: Any = None  # the thread of the fdatasync under way
        self.sync_error: OSError | None = None
        if path is None:
            self.f: IO[bytes] = sys.stdout.buffer
            return
        try:
            if os.path.isdir(path):
                raise IsADirectoryError(21, "Is a directory")
            fd, self.tmp = _temporary(os.path.dirname(os.path.abspath(path)), ".kestrix-output-")
        except OSError as e:
            raise CliError(f"cannot write {path!r}: {e.strerror}") from None
        self.f = os.fdopen(fd, "wb")

    def __enter__(self) -> Output:
        return self

    def __exit__(self, *exc: object) -> None:
        self.abort()

    def write(self, text: str) -> None:
        self.write_bytes(text.encode("utf-8"))

    def write_bytes(self, data: bytes) -> None:
        # To standard output in pieces: a single large write to a pipe whose reader goes away
        # midway returns what went through, and the buffered writer then reports no error at all.
        # A file of ours takes it whole (a short write to a file is retried, and fails with the
        # error that stopped it): each piece is a call into the kernel.
        view = memoryview(data)
        piece = WRITE_BYTES if self.tmp is None else max(len(view), 1)
        try:
            for at in range(0, len(view), piece):
                self.f.write(view[at:at + piece])
            self.unsynced += len(view)
            if self.tmp is not None and self.unsynced >= SYNC_BYTES and not self._sync_under_way():
                self.f.flush()
                self.unsynced = 0
                import threading  # only here: a run with a small output never needs it
                self.syncing = threading.Thread(target=self._sync, args=(self.f.fileno(),), name="kestrix-sync")
                self.syncing.start()
        except OSError as e:
            raise OutputError(e) from None

    def _sync_under_way(self) -> bool:
        return self.syncing is not None and self.syncing.is_alive()

    def _sync(self, fd: int) -> None:
        _start_worker()
        try:
            os.fdatasync(fd)
        except OSError as e:
            self.sync_error = self.sync_error or e

    def _wait_for_sync(self) -> None:
        if self.syncing is not None:
            self.syncing.join()
            self.syncing = None

    def flush(self) -> None:
        try:
            self.f.flush()
            if self.tmp is not None:
                self._wait_for_sync()
                if self.sync_error is not None:
                    raise self.sync_error
                os.fsync(self.f.fileno())
        except OSError as e:
            raise OutputError(e) from None

    def abort(self) -> None:
        self._wait_for_sync()  # before the file is closed: its number could name another file
        super().abort()

    def commit(self) -> None:
        """Puts FILE in place; the output must have been flushed."""
        if self.tmp is None or self.path is None:
            return
        try:
            try:
                mode = stat.S_IMODE(os.stat(self.path).st_mode)
            except FileNotFoundError:
                umask = os.umask(0)
                os.umask(umask)
                mode = 0o666 & ~umask
            os.chmod(self.tmp, mode)
            self.f.close()
            os.replace(self.tmp, self.path)
        except OSError as e:
            raise OutputError(e) from None
        self._placed()



def _discard(f: IO, path: str) -> None:
    try:
        f.close()
    except OSError:
        pass
    try:
        os.unlink(path)
    except OSError:
        pass
    _temporaries.discard(path)


# ---- detect -----------------------------------------------------------------------------


class _DetectJob:
    """Detection in the lines of a chunk, each line on its own: (records, counts) or None."""

    def __init__(self, config: kx.Config, show_text: bool):
        self.config, self.show_text = config, show_text

    def __call__(self, chunk: Chunk) -> tuple[bytes, dict[str, int]] | None:
        import json

        return core._detect_lines(chunk.raw, self.config, json.dumps(chunk.name, ensure_ascii=False), chunk.line,
                                  self.show_text, chunk.end)


def cmd_detect(args: argparse.Namespace) -> int:
    import json

    config = _config(args)
    _check_inputs(args.files, _written_files(args.output))
    counts: dict[str, int] = {}

    def detect_document(doc: Document) -> None:
        findings = kx.detect(doc.text, config).findings
        lines = _LineIndex(doc.text, doc.line)
        for f in findings:
            s, e = f.source.char_start, f.source.char_end
            line, column = lines.at(s)
            record = '{"input":%s,"line":%d,"columns":[%d,%d],%s' % (
                json.dumps(doc.name, ensure_ascii=False), line, column, column + e - s - 1, f.to_json()[1:])
            if args.show_text:
                record = record[:-1] + ',"text":' + json.dumps(doc.text[s:e], ensure_ascii=False) + "}"
            out.write(record + "\n")
            counts[f.entity] = counts.get(f.entity, 0) + 1

    with Output(args.output) as out, Workers(args.jobs, _DetectJob(config, args.show_text)) as workers:
        for unit, result in workers.results(_units(args.files, args.whole, jobs=args.jobs)):
            if result is None:  # a whole file, or lines that fail somewhere: one by one
                for doc in [unit] if isinstance(unit, Document) else _lines_of(unit):
                    detect_document(doc)
                continue
            records, found = result
            out.write_bytes(records)
            for entity, n in found.items():
                counts[entity] = counts.get(entity, 0) + n
        out.flush()
        out.commit()
    if not args.quiet:
        total = sum(counts.values())
        kinds = ", ".join(f"{e} {counts[e]}" for e in kx.entity_names() if e in counts)
        print(f"kestrix: {total} finding(s) in {len(args.files) or 1} input(s)" + (f": {kinds}" if kinds else ""),
              file=sys.stderr)
    return EXIT_FOUND if args.fail_on_find and counts else 0


# ---- mask -------------------------------------------------------------------------------

_NEUTRAL = kx.PolicySet(kx.Policy.redact_fill("가"))


def _run_id() -> str:
    """A fresh random run identifier: 12 hexadecimal digits."""
    return os.urandom(6).hex()


class RestoreWriter(_Temporary):
    """Writes one restore map for the whole run, entry by entry, to a private temporary file in
    the target's directory that replaces the target only when the map is complete.

    The token prefix carries a fresh random run identifier, so it cannot occur in an input that
    exists before the run; each input line is checked all the same before its output is written.
    After the entries the file holds two keys that the module's reader ignores: "run", and
    "input_prefixes", the prefixes of token-shaped texts that the input already held (null when
    there were too many), with which `unmask` tells the tokens of another run from them."""

    def __init__(self, path: str):
        self.path = path
        self.run = _run_id()
        self.prefix = "PII-" + self.run
        self.opening = "[[" + self.prefix + ":"
        self.count = 0
        self.input_prefixes: set[str] | None = set()
        self.tmp: str | None = None
        try:
            fd, self.tmp = _temporary(os.path.dirname(os.path.abspath(path)), ".kestrix-restore-")
        except OSError as e:
            raise CliError(f"cannot write the restore map {path!r}: {e.strerror}") from None
        self.f = os.fdopen(fd, "w", encoding="utf-8")
        self._write(core._restore_head(self.prefix))

    def _write(self, text: str) -> None:
        try:
            self.f.write(text)
        except OSError as e:
            raise CliError(f"cannot write the restore map {self.path!r}: {e.strerror}; the tokens "
                           "written so far cannot be restored") from None

    def note_input(self, doc: Document) -> None:
        """Checks a piece of input before any of its output is written."""
        at = doc.text.find(self.opening)
        if at >= 0:
            raise CliError(f"{doc.where(at)}: the input holds a token of this very run; is the output "
                           "fed back into the input?")
        self.note_prefixes(doc.text)

    def note_prefixes(self, text: str | bytes, end: int | None = None) -> None:
        """Keeps the prefixes of the token-shaped pieces of the input (str, or UTF-8 bytes; the
        first `end` of them when given)."""
        head = "[[PII" if isinstance(text, str) else b"[[PII"
        if self.input_prefixes is not None and text.find(head, 0, end) >= 0:  # type: ignore[arg-type]
            text = text[:end] if end is not None and end < len(text) else text
            self.input_prefixes.update(prefix for _, prefix in core._token_prefixes(text))
            if len(self.input_prefixes) > KEPT_INPUT_PREFIXES:
                self.input_prefixes = None

    def retoken(self, masked: str | bytes, restore: kx.RestoreMap) -> Any:
        """Renumbers the tokens of one piece's restore map into the run's map."""
        masked, entries = core._merge_restore(masked, restore, self.prefix, self.count)
        self._write(entries)
        self.count += len(restore)
        return masked

    def commit(self) -> None:
        import json

        assert self.tmp is not None
        prefixes = None if self.input_prefixes is None else sorted(self.input_prefixes)
        self._write('],"run":' + json.dumps(self.run) + ',"input_prefixes":'
                    + json.dumps(prefixes, ensure_ascii=False, separators=(",", ":")) + "}")
        try:
            self.f.flush()
            os.fsync(self.f.fileno())
            self.f.close()
            os.replace(self.tmp, self.path)
        except OSError as e:
            raise CliError(f"cannot write the restore map {self.path!r}: {e.strerror}; the tokens "
                           "written so far cannot be restored") from None
        self._placed()



def _check_restore_target(path: str, force: bool, output: str | None) -> None:
    """Refuses a restore map target that would destroy something or sit next to the output."""
    try:
        st: os.stat_result | None = os.stat(path)
    except FileNotFoundError:
        st = None
    except OSError as e:
        raise CliError(f"cannot write the restore map {path!r}: {e.strerror}") from None
    if st is not None and stat.S_ISDIR(st.st_mode):
        raise CliError(f"cannot write the restore map {path!r}: Is a directory")
    if os.path.lexists(path):
        if not force:
            raise CliError(f"refusing to overwrite {path!r}; use --force")
        if st is None or not stat.S_ISREG(st.st_mode):
            raise CliError(f"refusing to replace {path!r}: not a regular file")
    real = os.path.realpath(path)
    out_st = _stdout_file() if output is None else None
    out = os.path.realpath(output) if output else (
        os.path.realpath(f"/proc/self/fd/{sys.stdout.fileno()}") if out_st is not None else None)
    if out is not None and out == real:
        raise CliError(f"refusing to write the restore map into the masked output {path!r}")
    if out is not None and os.path.dirname(out) == os.path.dirname(real) and not force:
        raise CliError("refusing to write the restore map next to the masked output (it is "
                       "personal data itself); use another directory or --force")


def cmd_mask(args: argparse.Namespace) -> int:
    config = _config(args)
    policies = _policy_set(args)
    tokenizes = core._tokenizes(policies)
    if args.restore_out and not tokenizes:
        raise CliError("--restore-out needs a tokenize policy")
    if tokenizes and not args.restore_out:
        raise CliError("a tokenize policy needs --restore-out FILE to keep the restore map")
    _check_inputs(args.files, _written_files(args.output, args.restore_out))
    if tokenizes:
        _check_restore_target(args.restore_out, args.force, args.output)
    out = Output(args.output)
    writer = None
    leftovers = 0
    shown: list[str] = []

    def leftover(where: str) -> None:
        nonlocal leftovers
        leftovers += 1
        if len(shown) < SHOWN_LEFTOVERS:
            shown.append(where)

    def mask_document(doc: Document) -> None:
        if writer is not None:
            writer.note_input(doc)
        result = kx.mask(doc.text, policies, config)
        masked = result.text
        restore = result.restore
        del result
        if writer is not None and restore is not None and len(restore):
            masked = writer.retoken(masked, restore)
        if args.verify:
            for where in _leftovers(doc, config):
                leftover(where)
        out.write(masked + doc.nl)

    try:
        writer = RestoreWriter(args.restore_out) if tokenizes else None
        opening = writer.opening.encode() if writer is not None else None
        job = _MaskJob(policies, config, writer.prefix if writer is not None else "", args.verify)
        number = 1  # of the next chunk's first line: the chunks come unnumbered, in order
        with Workers(args.jobs, job) as workers:
            for unit, result in workers.results(_units(args.files, args.whole, numbered=False, jobs=args.jobs)):
                if isinstance(unit, Chunk):
                    number = unit.line = unit.line or number
                if result is None or (opening is not None and unit.raw.find(opening, 0, unit.end) >= 0):  # type: ignore[union-attr]
                    # A whole file, or lines that fail somewhere: one by one, to fail where they do.
                    for doc in [unit] if isinstance(unit, Document) else _lines_of(unit):
                        mask_document(doc)
                        number = doc.line + 1
                    continue
                assert isinstance(unit, Chunk)
                masked, restore, found, lines = result
                number += lines
                if writer is not None:
                    writer.note_prefixes(unit.raw, unit.end)
                    if restore is not None:
                        masked = writer.retoken(masked, restore)
                for index, column, entity in found:
                    leftover(f"{unit.name}:{unit.line + index}:{column}: {entity} still found in the masked output")
                out.write_bytes(masked)
                del masked
        out.flush()
        if writer is not None:
            writer.commit()
        out.commit()
    except OutputError as e:
        if writer is not None and e.error.errno == 32:  # EPIPE: the reader went away
            writer.commit()
            _quiet_stdout()
            raise CliError(f"the output was closed before the end; the restore map {args.restore_out!r} "
                           f"holds the {writer.count} token(s) written so far") from None
        raise
    finally:
        out.abort()
        if writer is not None:
            writer.abort()
    if leftovers:
        for where in shown:
            print(f"kestrix: {where}", file=sys.stderr)
        more = f" ({leftovers - len(shown)} not shown)" if leftovers > len(shown) else ""
        print(f"kestrix: {leftovers} item(s) still found in the masked output{more}", file=sys.stderr)
        return EXIT_RESIDUE
    return 0


class _MaskJob:
    """Masking of the lines of a chunk, each line on its own: (masked, restore, leftovers) or None."""

    def __init__(self, policies: kx.PolicySet, config: kx.Config, prefix: str, verify: bool):
        self.policies, self.config, self.prefix, self.verify = policies, config, prefix, verify

    def __call__(self, chunk: Chunk) -> tuple[bytes, kx.RestoreMap | None, list[tuple[int, int, str]]] | None:
        return core._mask_lines(chunk.raw, self.policies, self.config, self.prefix, self.verify, chunk.end)


def _leftovers(doc: Document, config: kx.Config) -> Iterator[str]:
    """Where detection still finds something once every masked piece is blanked out: what the
    masking left of the input. Replacement texts and the cue words of labels are not looked at,
    and the blanks keep the length of the pieces, so offsets are those of the input."""
    blanked = kx.mask(doc.text, _NEUTRAL, config).text
    lines = _LineIndex(doc.text, doc.line)
    for f in kx.detect(blanked, config).findings:
        line, column = lines.at(f.source.char_start)
        yield f"{doc.name}:{line}:{column}: {f.entity} still found in the masked output"


# ---- unmask -----------------------------------------------------------------------------

_QUOTED = [
    (re.compile(r"unknown variant `.*`, expected one of `resident`.*?(?= at line \d+ column \d+$)"),
     "unknown entity name"),
    (re.compile(r'string ".*", expected'), "string, expected"),
    (re.compile(r"(integer|floating point) `[^`]*`"), r"\1"),
]


def _without_quotes(message: str) -> str:
    """A restore map reader message without the texts of the map that it quotes."""
    for pattern, replacement in _QUOTED:
        message = pattern.sub(replacement, message)
    return message


def _run_of(text: str, restore: kx.RestoreMap) -> tuple[str, set[str] | None] | None:
    """The run identifier and input prefixes that the command line wrote after the entries."""
    import json

    at = text.rfind('"run"')
    try:
        info, _ = json.JSONDecoder().raw_decode("{" + text[at:]) if at >= 0 else (None, 0)
    except ValueError:
        return None
    if not (isinstance(info, dict) and isinstance(info.get("run"), str)
            and restore.prefix == "PII-" + info["run"]):
        return None
    prefixes = info.get("input_prefixes")
    if isinstance(prefixes, list) and all(isinstance(p, str) for p in prefixes):
        return info["run"], set(prefixes)
    return info["run"], None


def _load_restore(path: str) -> tuple[kx.RestoreMap, tuple[str, set[str] | None] | None]:
    try:
        with open(path, "rb") as f:
            text = str(f.read(), "utf-8")
    except OSError as e:
        raise CliError(f"cannot read restore map {path!r}: {e.strerror}") from None
    except UnicodeDecodeError:
        raise CliError(f"restore map {path!r} is not UTF-8 text") from None
    try:
        restore = kx.RestoreMap.from_json(text)
    except ValueError as e:
        raise CliError(f"broken restore map {path!r}: {_without_quotes(str(e))}") from None
    return restore, _run_of(text, restore)


_TOKEN_FAULTS = {"unclosed": "a token without its closing ]]", "not_number": "a token whose number is not a number"}


def _bad_token(text: str, restore: kx.RestoreMap) -> tuple[int, str, str]:
    """(offset, kind, number text) of the first token of text that cannot be restored."""
    bad = core._bad_token(text, restore)
    if bad is None:
        return 0, "a broken token", ""
    at, fault, number = bad
    kind = _TOKEN_FAULTS.get(fault) or f"a token number that the restore map (of {len(restore)} entries) does not hold"
    return at, kind, number


def _excerpt(text: str, limit: int = 60) -> str:
    return repr(text if len(text) <= limit else text[:limit] + "…")


def cmd_unmask(args: argparse.Namespace) -> int:
    restore, run = _load_restore(args.restore)
    _check_inputs(args.files, _written_files(args.output))
    with Output(args.output) as out:
        for doc in _documents(args.files, False):
            if run is not None and run[1] is not None and "[[PII" in doc.text:
                for at, prefix in core._token_prefixes(doc.text):
                    if prefix != restore.prefix and prefix not in run[1]:
                        raise CliError(f"{doc.where(at)}: a token of another masking run; the restore "
                                       f"map {args.restore!r} belongs to run {run[0]} (is it the wrong map?)")
            try:
                text = kx.unmask(doc.text, restore)
            except kx.SpanMapError:
                at, kind, number = _bad_token(doc.text, restore)
                shown = f": {_excerpt(number)}" if args.show_text else " (--show-text shows it)"
                raise CliError(f"{doc.where(at)}: {kind}{shown}") from None
            out.write(text + doc.nl)
        out.flush()
        out.commit()
    return 0


# ---- entry point ------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(prog="kestrix", description="Find, explain and mask Korean personal data.",
                epilog=EXIT_STATUS_HELP, formatter_class=_Formatter)
    p.add_argument("--version", action="version", version=f"kestrix {kx.__version__}")
    sub = p.add_subparsers(dest="command", required=True, parser_class=_Parser)

    def command(name: str, help: str) -> argparse.ArgumentParser:
        c = sub.add_parser(name, help=help, description=help, epilog=EXIT_STATUS_HELP,
                           formatter_class=_Formatter)
        c.add_argument("files", nargs="*", metavar="FILE", help="input files (standard input when none)")
        c.add_argument("-o", "--output", metavar="FILE",
                       help="write here instead of standard output; FILE is replaced only when the run succeeds")
        if name != "unmask":
            c.add_argument("-j", "--jobs", type=_jobs, default=1, metavar="N",
                           help=f"{name} in N worker threads (default 1); the output, in input order, is "
                                "the same as with one")
        return c

    d = command("detect", "report each finding as one JSON object (input, line, columns, evidence)")
    d.add_argument("--whole", action="store_true", help="detect in each file as one document instead of per line")
    d.add_argument("--fail-on-find", action="store_true", help="exit 1 when anything is found")
    d.add_argument("--show-text", action="store_true", help="include the found text (personal data!)")
    d.add_argument("-q", "--quiet", action="store_true", help="no summary on standard error")
    _add_config_options(d)
    d.set_defaults(run=cmd_detect)

    m = command("mask", "write the masked text")
    m.add_argument("--policy", default="label", metavar="POLICY",
                   help="label (default), code, fill:CHAR, fixed:TEXT, partial:P,S[,CHAR], "
                        "hash:KEYFILE[:LENGTH], tokenize. A hash key file holds "
                        f"{KEY_MIN} to {KEY_MAX} bytes; one trailing line break is not part of the key")
    m.add_argument("--entity-policy", action="append", default=[], metavar="ENTITY=POLICY",
                   help="another policy for one entity (repeatable)")
    m.add_argument("--restore-out", metavar="FILE",
                   help="where the restore map of tokenize goes (never over an existing file or next to "
                        "the output without --force)")
    m.add_argument("--force", action="store_true",
                   help="let the restore map replace an existing file or sit next to the output")
    m.add_argument("--verify", action="store_true",
                   help="exit 3 and say where when detection still finds something the masking left")
    m.add_argument("--whole", action="store_true", help="mask each file as one document")
    _add_config_options(m)
    m.set_defaults(run=cmd_mask)

    u = command("unmask", "restore tokenized text with the restore map of its run")
    u.add_argument("--restore", required=True, metavar="FILE", help="the restore map written by mask --restore-out")
    u.add_argument("--show-text", action="store_true", help="quote a broken token's number text in the message")
    u.set_defaults(run=cmd_unmask)
    return p


def _stop(signum: int, frame: object) -> None:
    raise Stopped(signum)


def main(argv: list[str] | None = None) -> int:
    if argv is None:  # the command's own process, not a caller's: its allocator is ours to set
        core._keep_freed_memory()
    args = build_parser().parse_args(argv)
    # An ignored signal (nohup) stays ignored.
    previous = {s: signal.signal(s, _stop) for s in (signal.SIGTERM, signal.SIGHUP)
                if signal.getsignal(s) is not signal.SIG_IGN}
    try:
        return args.run(args)
    except CliError as e:
        message = str(e)
    except OutputError as e:
        if e.error.errno == 32:
            _quiet_stdout()
            message = "the output was closed before the end"
        else:
            message = f"cannot write {args.output or 'standard output'!r}: {e.error.strerror}"
    except kx.SpanMapError as e:
        message = str(e)
    except MemoryError:
        message = "out of memory"
    except KeyboardInterrupt:
        print("kestrix: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except Stopped as e:
        print(f"kestrix: stopped by {signal.Signals(e.signum).name}", file=sys.stderr)
        return 128 + e.signum
    finally:
        _remove_temporaries()
        for s, handler in previous.items():
            signal.signal(s, handler)
    print(f"kestrix: {message}", file=sys.stderr)
    return EXIT_FAILED


def _quiet_stdout() -> None:
    """After the reader of standard output went away, points it at /dev/null so that the
    interpreter's final flush does not fail again."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError):
        pass


if __name__ == "__main__":
    sys.exit(main())

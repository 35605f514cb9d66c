"""Command-line front end of kestrix: detect, mask and unmask files or standard input.

    kestrix detect [FILE ...]            one JSON object per input line (or per document)
    kestrix mask [FILE ...]              the masked text
    kestrix unmask --restore MAP [FILE ...]

Input is streamed line by line, so memory stays constant however large the input.
Exit status: 0 done, 1 `detect --fail-on-find` found something, 2 bad input or usage,
3 `mask --verify` still found something in the masked output.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import sys
import tempfile
from typing import IO, Iterator

import kestrix as kx

EXIT_FOUND = 1
EXIT_BAD_INPUT = 2
EXIT_RESIDUE = 3


class CliError(Exception):
    """A bad input that ends the run with a one-line message."""


# ---- options ----------------------------------------------------------------------------


def _add_config_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("detection settings")
    for name in ("nfc", "fold", "hangul", "lookalike", "separator"):
        g.add_argument(f"--no-{name}", dest=name, action="store_false", help=f"turn off the {name} pass")
    g.add_argument("--context-window", type=int, metavar="CHARS")
    g.add_argument("--min-score", type=float)
    g.add_argument("--min-context", type=float)
    g.add_argument("--min-veto", type=float)
    g.add_argument("--numeral-min-digits-without-context", type=int, metavar="N")
    g.add_argument("--numeral-min-digits-with-context", type=int, metavar="N")


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
            path, _, length = arg.partition(":")
            try:
                with open(path, "rb") as f:
                    key = f.read()
            except OSError as e:
                raise CliError(f"cannot read hash key file {path!r}: {e.strerror}") from None
            return kx.Policy.hash(key, int(length) if length else 12)
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


def _tokenizes(ps: kx.PolicySet) -> bool:
    return any(repr(ps.policy_for(e)) == "Policy.tokenize()" for e in kx.entity_names())


# ---- input ------------------------------------------------------------------------------


class Progress:
    """A progress bar on stderr, shown only when stderr is a terminal and the size is known."""

    def __init__(self, total: int | None):
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
            bar = "#" * (pct // 4)
            sys.stderr.write(f"\r[{bar:<25}] {pct:3d}%")
            sys.stderr.flush()

    def close(self) -> None:
        if self.total is not None and self.shown >= 0:
            sys.stderr.write("\n")


def _open_inputs(files: list[str]) -> Iterator[tuple[str, IO[str]]]:
    if not files:
        yield "<stdin>", io_stdin()
        return
    for path in files:
        try:
            f = open(path, encoding="utf-8", errors="strict", newline="")
        except OSError as e:
            raise CliError(f"cannot read {path!r}: {e.strerror}") from None
        with f:
            yield path, f


def io_stdin() -> IO[str]:
    return open(sys.stdin.fileno(), encoding="utf-8", errors="strict", newline="", closefd=False)


def _total_size(files: list[str]) -> int | None:
    try:
        return sum(os.path.getsize(p) for p in files) if files else None
    except OSError:
        return None


def _lines(name: str, f: IO[str]) -> Iterator[tuple[str, str]]:
    """(line without its line break, the line break) for every line of f."""
    try:
        for raw in f:
            if raw.endswith("\r\n"):
                yield raw[:-2], "\r\n"
            elif raw.endswith("\n") or raw.endswith("\r"):
                yield raw[:-1], raw[-1]
            else:
                yield raw, ""
    except UnicodeDecodeError as e:
        raise CliError(f"{name} is not UTF-8 text (byte {e.start} of a read block)") from None


def _documents(files: list[str], whole: bool) -> Iterator[tuple[str, str, str]]:
    """(input name, text, line break after it) per line, or per file with whole."""
    for name, f in _open_inputs(files):
        if whole:
            try:
                yield name, f.read(), ""
            except UnicodeDecodeError as e:
                raise CliError(f"{name} is not UTF-8 text (byte {e.start})") from None
        else:
            for line, nl in _lines(name, f):
                yield name, line, nl


# ---- detect -----------------------------------------------------------------------------


def _span_json(s: kx.Span) -> dict:
    return {"byte": [s.byte_start, s.byte_end], "char": [s.char_start, s.char_end]}


def cmd_detect(args: argparse.Namespace) -> int:
    config = _config(args)
    out = sys.stdout
    found = False
    progress = Progress(_total_size(args.files))
    line_no = 0
    last_name = None
    for name, text, nl in _documents(args.files, args.whole):
        if name != last_name:
            line_no, last_name = 0, name
        line_no += 1
        report = kx.detect(text, config)
        findings = []
        for f in report.findings:
            item = {
                "entity": f.entity,
                "source": _span_json(f.source),
                "rule": f.evidence.rule,
                "checksum": f.evidence.checksum,
                "certainty": f.certainty,
                "score": round(f.score, 4),
            }
            if args.show_text:
                item["text"] = f.text(text)
            findings.append(item)
        found = found or bool(findings)
        record: dict = {"input": name}
        if not args.whole:
            record["line"] = line_no
        record["findings"] = findings
        out.write(json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n")
        progress.advance(len(text.encode("utf-8")) + len(nl))
    progress.close()
    return EXIT_FOUND if args.fail_on_find and found else 0


# ---- mask -------------------------------------------------------------------------------

_PROBE = re.compile(r"\[\[PII(\d*):")


def _free_prefix(suffixes: set[str]) -> str:
    """The first of PII, PII0, PII1, ... whose token opening never occurs in the input."""
    if "" not in suffixes:
        return "PII"
    c = 0
    while str(c) in suffixes:
        c += 1
    return f"PII{c}"


class RestoreWriter:
    """Writes one restore map for the whole input, entry by entry, to a private temporary file
    that replaces the target only when everything was written."""

    def __init__(self, path: str, prefix: str):
        self.path = path
        self.prefix = prefix
        self.count = 0
        d = os.path.dirname(os.path.abspath(path))
        fd, self.tmp = tempfile.mkstemp(prefix=".kestrix-restore-", dir=d)
        self.f = os.fdopen(fd, "w", encoding="utf-8")
        self.f.write('{"prefix":' + json.dumps(prefix, ensure_ascii=False) + ',"entries":[')

    def add(self, original: str, entity: str) -> str:
        token = f"[[{self.prefix}:{self.count}]]"
        entry = {"token": token, "original": original, "entity": entity}
        self.f.write(("," if self.count else "") + json.dumps(entry, ensure_ascii=False, separators=(",", ":")))
        self.count += 1
        return token

    def commit(self) -> None:
        self.f.write("]}")
        self.f.close()
        os.replace(self.tmp, self.path)

    def abort(self) -> None:
        self.f.close()
        try:
            os.unlink(self.tmp)
        except OSError:
            pass


def _stdout_file() -> str | None:
    """The real path of the file standard output is redirected to, if it is a regular file."""
    import stat

    try:
        fd = sys.stdout.fileno()
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        return os.path.realpath(f"/proc/self/fd/{fd}")
    except (OSError, ValueError):
        return None


def _check_restore_target(path: str, force: bool) -> None:
    real = os.path.realpath(path)
    out = _stdout_file()
    if out is not None and out == real:
        raise CliError(f"refusing to write the restore map into the masked output {path!r}")
    if os.path.exists(path) and not force:
        raise CliError(f"refusing to overwrite {path!r}; use --force")
    if out is not None and os.path.dirname(out) == os.path.dirname(real) and not force:
        raise CliError("refusing to write the restore map next to the masked output (it is "
                       "personal data itself); use another directory or --force")


def _spool_stdin() -> str:
    fd, path = tempfile.mkstemp(prefix=".kestrix-input-")
    with os.fdopen(fd, "wb") as out:
        shutil.copyfileobj(sys.stdin.buffer, out, 1 << 20)
    return path


def cmd_mask(args: argparse.Namespace) -> int:
    config = _config(args)
    policies = _policy_set(args)
    tokenizes = _tokenizes(policies)
    if args.restore_out and not tokenizes:
        raise CliError("--restore-out needs a tokenize policy")
    if tokenizes and not args.restore_out:
        raise CliError("a tokenize policy needs --restore-out FILE to keep the restore map")
    files = list(args.files)
    spooled = None
    writer = None
    try:
        if tokenizes:
            _check_restore_target(args.restore_out, args.force)
            if not files:
                spooled = _spool_stdin()
                files = [spooled]
            suffixes: set[str] = set()
            for _, text, _ in _documents(files, False):
                suffixes.update(m.group(1) for m in _PROBE.finditer(text))
            writer = RestoreWriter(args.restore_out, _free_prefix(suffixes))
        residue = 0
        progress = Progress(_total_size(files))
        out = sys.stdout
        for _, text, nl in _documents(files, args.whole):
            result = kx.mask(text, policies, config)
            masked = result.text
            if writer is not None and result.restore is not None and len(result.restore):
                masked = _retoken(masked, result.restore, writer)
            if args.verify:
                residue += len(kx.detect(masked, config).findings)
            out.write(masked + nl)
            progress.advance(len(text.encode("utf-8")) + len(nl))
        progress.close()
        out.flush()
        if writer is not None:
            writer.commit()
            writer = None
    finally:
        if writer is not None:
            writer.abort()
        if spooled:
            os.unlink(spooled)
    if residue:
        print(f"kestrix: {residue} item(s) still found in the masked output", file=sys.stderr)
        return EXIT_RESIDUE
    return 0


def _retoken(masked: str, restore: kx.RestoreMap, writer: RestoreWriter) -> str:
    """Renumbers the tokens of one line's restore map into the whole input's map."""
    entries = restore.entries
    local = re.compile(re.escape("[[" + restore.prefix + ":") + r"(\d+)\]\]")
    mapping = {}
    for i, e in enumerate(entries):
        mapping[str(i)] = writer.add(e.original, e.entity)
    return local.sub(lambda m: mapping.get(m.group(1), m.group(0)), masked)


# ---- unmask -----------------------------------------------------------------------------


def cmd_unmask(args: argparse.Namespace) -> int:
    try:
        with open(args.restore, encoding="utf-8") as f:
            restore = kx.RestoreMap.from_json(f.read())
    except OSError as e:
        raise CliError(f"cannot read restore map {args.restore!r}: {e.strerror}") from None
    except UnicodeDecodeError:
        raise CliError(f"restore map {args.restore!r} is not UTF-8 text") from None
    except ValueError as e:
        raise CliError(f"broken restore map {args.restore!r}: {e}") from None
    out = sys.stdout
    progress = Progress(_total_size(args.files))
    for _, text, nl in _documents(args.files, False):
        out.write(kx.unmask(text, restore) + nl)
        progress.advance(len(text.encode("utf-8")) + len(nl))
    progress.close()
    return 0


# ---- entry point ------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="kestrix", description="Find, explain and mask Korean personal data.")
    sub = p.add_subparsers(dest="command", required=True)

    d = sub.add_parser("detect", help="report what is found, one JSON object per line")
    d.add_argument("files", nargs="*", metavar="FILE")
    d.add_argument("--whole", action="store_true", help="one report per file instead of per line")
    d.add_argument("--fail-on-find", action="store_true", help="exit 1 when anything is found")
    d.add_argument("--show-text", action="store_true", help="include the found text (personal data!)")
    _add_config_options(d)
    d.set_defaults(run=cmd_detect)

    m = sub.add_parser("mask", help="write the masked text")
    m.add_argument("files", nargs="*", metavar="FILE")
    m.add_argument("--policy", default="label", metavar="POLICY",
                   help="label, code, fill:CHAR, fixed:TEXT, partial:P,S[,CHAR], hash:KEYFILE[:LENGTH], tokenize")
    m.add_argument("--entity-policy", action="append", default=[], metavar="ENTITY=POLICY")
    m.add_argument("--restore-out", metavar="FILE", help="where the restore map of tokenize goes")
    m.add_argument("--force", action="store_true", help="overwrite or write next to the output")
    m.add_argument("--verify", action="store_true", help="exit 3 when the masked output still has findings")
    m.add_argument("--whole", action="store_true", help="mask each file as one document")
    _add_config_options(m)
    m.set_defaults(run=cmd_mask)

    u = sub.add_parser("unmask", help="restore tokenized text")
    u.add_argument("files", nargs="*", metavar="FILE")
    u.add_argument("--restore", required=True, metavar="FILE")
    u.set_defaults(run=cmd_unmask)
    return p


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except CliError as e:
        print(f"kestrix: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except kx.SpanMapError as e:
        print(f"kestrix: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); quietly stop.
        try:
            sys.stdout.close()
        except OSError:
            pass
        return 0
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())

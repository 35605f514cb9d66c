"""The command-line tool, run as a separate process, with real pipes, FIFOs and signals."""

import argparse
import errno
import json
import os
import pathlib
import re
import resource
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

import kestrix as kx
from kestrix import cli as kestrix_cli

from conftest import luhn, rrn

PHONE = "010-1234-5678"
RRN = rrn("900101123456")
CARD = luhn("457296011234567")
TEXT = f"연락처는 {PHONE} 입니다\n주민번호 {RRN[:6]}-{RRN[6:]}\n아무것도 없는 줄\n카드 {CARD}\n"
ENV = dict(os.environ)
CLI = [sys.executable, "-m", "kestrix"]


def spawn(*args, stdin=None, env=None, timeout=120, **kw):
    """The command in its own process, for what needs real pipes, devices, limits or signals."""
    return subprocess.run([*CLI, *args], input=stdin, capture_output=True, text=True, env=env or ENV,
                          timeout=timeout, **kw)


def limit_file_size(limit):
    def preexec():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return preexec


@pytest.fixture
def run(capsys, monkeypatch, tmp_path):
    """The command in this process: main() with stdin from a file and stdout/stderr captured."""
    def call(*args, stdin=None):
        source = tmp_path / ".stdin"
        source.write_bytes((stdin or "").encode())
        with open(source, "rb") as f:
            monkeypatch.setattr(sys, "stdin", f)
            try:
                code = kestrix_cli.main(list(args))
            except SystemExit as e:
                code = e.code
        out, err = capsys.readouterr()
        return subprocess.CompletedProcess(args, code, out, err)
    return call


def one_line_failure(r):
    assert r.returncode == 2, (r.returncode, r.stderr)
    assert "Traceback" not in r.stderr
    assert len(r.stderr.strip().splitlines()) == 1, r.stderr
    return r.stderr


def leftovers(directory):
    return sorted(p.name for p in pathlib.Path(directory).iterdir() if p.name.startswith(".kestrix"))


@pytest.fixture
def sample(tmp_path):
    p = tmp_path / "in" / "sample.txt"
    p.parent.mkdir()
    p.write_text(TEXT, encoding="utf-8")
    return p


@pytest.fixture
def vault(tmp_path):
    v = tmp_path / "vault"
    v.mkdir()
    return v


def tokenize(runner, *args, vault, name="r.json", **kw):
    return runner("mask", "--policy", "tokenize", "--restore-out", str(vault / name), *args, **kw)


# ---- detect -----------------------------------------------------------------------------


def test_detect_prints_findings_only_with_place_and_evidence(run, sample):
    r = run("detect", str(sample))
    assert r.returncode == 0, r.stderr
    rows = [json.loads(line) for line in r.stdout.splitlines()]
    assert [(row["input"], row["line"], row["entity"]) for row in rows] == [
        (str(sample), 1, "phone"), (str(sample), 2, "resident"), (str(sample), 4, "credit_card")]
    phone = rows[0]
    assert phone["columns"] == [6, 5 + len(PHONE)]
    assert phone["source"]["char"] == {"start": 5, "end": 5 + len(PHONE)}
    assert phone["evidence"]["rule"] == "phone.mobile_11"
    assert phone["evidence"]["context_hits"][0]["cue"] == "연락처"
    assert PHONE not in r.stdout and RRN[:6] not in r.stdout
    assert r.stderr == "kestrix: 3 finding(s) in 1 input(s): resident 1, credit_card 1, phone 1\n"
    assert run("detect", "-q", str(sample)).stderr == ""


def test_detect_numbers_the_lines_of_each_file_from_one(run, tmp_path):
    a, b = tmp_path / "a.txt", tmp_path / "b.txt"
    a.write_text("첫 줄\n둘째 줄\n셋째 줄\n", encoding="utf-8")
    b.write_text(f"없음\n전화 {PHONE}\n", encoding="utf-8")
    r = run("detect", str(a), str(b))
    assert r.stderr == "kestrix: 1 finding(s) in 2 input(s): phone 1\n"
    (row,) = [json.loads(line) for line in r.stdout.splitlines()]
    assert (row["input"], row["line"], row["columns"]) == (str(b), 2, [4, 3 + len(PHONE)])


def test_detect_show_text_whole_and_fail_on_find(run, sample):
    r = run("detect", "--show-text", "--whole", "--fail-on-find", str(sample))
    assert r.returncode == 1
    rows = [json.loads(line) for line in r.stdout.splitlines()]
    assert [row["text"] for row in rows] == [PHONE, f"{RRN[:6]}-{RRN[6:]}", CARD]
    assert [(row["line"], row["columns"][0]) for row in rows] == [(1, 6), (2, 6), (4, 4)]
    clean = run("detect", "--fail-on-find", stdin="가나다 123\n")
    assert (clean.returncode, clean.stdout) == (0, "")
    assert "0 finding(s)" in clean.stderr


# ---- mask -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "policy, expected_phone",
    [
        ("label", "[전화번호]"),
        ("code", "[PHONE]"),
        ("fill:#", "#" * len(PHONE)),
        ("fixed:<가림>", "<가림>"),
        ("partial:3,4", "010******5678"),
        ("partial:3,4,●", "010●●●●●●5678"),
    ],
)
def test_mask_policies(run, sample, policy, expected_phone):
    r = run("mask", "--policy", policy, str(sample))
    assert r.returncode == 0, r.stderr
    first = r.stdout.splitlines()[0]
    assert first == f"연락처는 {expected_phone} 입니다"
    assert r.stdout.splitlines()[2] == "아무것도 없는 줄"


def test_entity_policy_and_config_options(run, sample):
    r = run("mask", "--entity-policy", "phone=code", "--entity-policy", "credit_card=fill:*", str(sample))
    lines = r.stdout.splitlines()
    assert lines[0] == "연락처는 [PHONE] 입니다"
    assert lines[1] == "주민번호 [주민등록번호]"
    assert lines[3] == "카드 " + "*" * len(CARD)
    # With a high threshold nothing passes.
    r = run("mask", "--min-score", "5", str(sample))
    assert r.stdout == TEXT


def test_crlf_and_missing_final_newline_are_kept(tmp_path):
    p = tmp_path / "crlf.txt"
    p.write_bytes(f"전화 {PHONE}\r\n끝".encode())
    r = subprocess.run([*CLI, "mask", str(p)], capture_output=True, env=ENV)
    assert r.stdout == "전화 [전화번호]\r\n끝".encode()


@pytest.mark.parametrize("content, key, length", [
    (b"0123456789abcdef-secret\n", b"0123456789abcdef-secret", ""),
    (b"0123456789abcdef-secret\r\n", b"0123456789abcdef-secret", ":20"),
    (b"\x00binary key of 17\n\n", b"\x00binary key of 17\n", ":20"),
    (b"k" * 16 + b"\n", b"k" * 16, ""),  # the shortest and the longest key
    (b"k" * 1024 + b"\r\n", b"k" * 1024, ""),
])
def test_hash_key_file_without_its_trailing_line_break_is_the_key(run, sample, tmp_path, content, key, length):
    keyfile = tmp_path / "pii:key"  # a colon in the path is no length
    keyfile.write_bytes(content)
    r = run("mask", "--policy", f"hash:{keyfile}{length}", str(sample))
    assert r.returncode == 0, r.stderr
    policy = kx.Policy.hash(key, int(length[1:])) if length else kx.Policy.hash(key)
    expected = kx.mask(TEXT.splitlines()[0], kx.PolicySet(policy)).text
    assert r.stdout.splitlines()[0] == expected


@pytest.mark.parametrize("content, message", [
    (b"", "holds 0 bytes; a key needs at least 16"),
    (b"fifteen bytes!!\n", "holds 15 bytes"),
    (b"k" * 1025, "longer than 1024 bytes"),
])
def test_hash_keys_too_short_or_too_long_are_refused(run, tmp_path, content, message):
    keyfile = tmp_path / "key"
    keyfile.write_bytes(content)
    assert message in one_line_failure(run("mask", "--policy", f"hash:{keyfile}", stdin=TEXT))


def limit_memory():
    # A key read without bound would take all memory; the limit makes that a quick failure.
    # Sanitizer runtimes reserve more address space than any limit allows.
    if "LD_PRELOAD" not in os.environ:
        resource.setrlimit(resource.RLIMIT_AS, (1 << 32, 1 << 32))


@pytest.mark.parametrize("device, message", [("/dev/null", "holds 0 bytes"), ("/dev/zero", "longer than")])
def test_hash_key_devices_are_refused(device, message):
    r = spawn("mask", "--policy", f"hash:{device}:8", stdin=TEXT, preexec_fn=limit_memory)
    assert message in one_line_failure(r)


# ---- tokenize and unmask ------------------------------------------------------------------


def test_tokenize_round_trip_with_one_restore_map(run, sample, vault, tmp_path):
    r = tokenize(run, str(sample), vault=vault)
    assert r.returncode == 0, r.stderr
    masked = tmp_path / "out.txt"
    masked.write_text(r.stdout, encoding="utf-8")
    stored = json.loads((vault / "r.json").read_text(encoding="utf-8"))
    table = kx.RestoreMap.from_json((vault / "r.json").read_text(encoding="utf-8"))
    assert table.prefix == "PII-" + stored["run"] and re.fullmatch("[0-9a-f]{12}", stored["run"])
    assert [e.token for e in table.entries] == [f"[[{table.prefix}:{i}]]" for i in range(3)]
    assert oct((vault / "r.json").stat().st_mode & 0o777) == "0o600"
    back = run("unmask", "--restore", str(vault / "r.json"), str(masked))
    assert back.returncode == 0, back.stderr
    assert back.stdout == TEXT
    assert leftovers(vault) == []


@pytest.mark.parametrize("text", [
    f"[[PII:0]] 앞\n뒤 [[PII0:3]]\n{PHONE}\n",
    f"[[PII: [[PII0: [[PII1:2]] {PHONE}\n",
])
def test_tokens_never_collide_with_token_openings_of_the_input(run, vault, text):
    r = tokenize(run, vault=vault, stdin=text)
    assert r.returncode == 0, r.stderr
    prefix = json.loads((vault / "r.json").read_text())["prefix"]
    assert f"[[{prefix}:" not in text and f"[[{prefix}:0]]" in r.stdout
    back = run("unmask", "--restore", str(vault / "r.json"), stdin=r.stdout)
    assert (back.returncode, back.stdout) == (0, text)


def test_two_runs_get_different_prefixes(run, vault):
    tokenize(run, vault=vault, name="a.json", stdin=TEXT)
    tokenize(run, vault=vault, name="b.json", stdin=TEXT)
    a, b = (json.loads((vault / n).read_text())["prefix"] for n in ("a.json", "b.json"))
    assert a != b


def feed_fifo(path, data):
    def write():
        with open(path, "wb") as f:
            f.write(data)
    t = threading.Thread(target=write, daemon=True)
    t.start()
    return t


@pytest.mark.parametrize("source", ["pipe", "fifo"])
def test_input_that_is_no_regular_file_is_read_once(run, vault, tmp_path, source):
    if source == "pipe":
        r = tokenize(spawn, "/dev/stdin", vault=vault, stdin=TEXT)
    else:
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        feed_fifo(fifo, TEXT.encode())
        r = tokenize(spawn, str(fifo), vault=vault, timeout=30)
    assert r.returncode == 0, r.stderr
    assert len(kx.RestoreMap.from_json((vault / "r.json").read_text())) == 3
    back = run("unmask", "--restore", str(vault / "r.json"), stdin=r.stdout)
    assert back.stdout == TEXT


def test_a_restore_map_of_another_run_is_refused(run, vault, tmp_path):
    a = tokenize(run, vault=vault, name="a.json", stdin=TEXT)
    b = tokenize(run, vault=vault, name="b.json", stdin=f"고객 B {PHONE[:-1]}9\n")
    wrong = run("unmask", "--restore", str(vault / "a.json"), stdin=b.stdout)
    assert "<stdin>:1:6: a token of another masking run" in one_line_failure(wrong)
    assert PHONE not in wrong.stdout
    # An edited text that quotes some of the run's tokens is restored.
    first, second = a.stdout.split()[1], a.stdout.splitlines()[1].split()[1]
    answer = f"고객의 번호는 {second} 이고, 연락처는 {first} 입니다."
    back = run("unmask", "--restore", str(vault / "a.json"), stdin=answer)
    assert back.stdout == f"고객의 번호는 {RRN[:6]}-{RRN[6:]} 이고, 연락처는 {PHONE} 입니다."
    # Masking masked text again: the earlier run's tokens are input, and stay.
    twice = tokenize(run, vault=vault, name="c.json", stdin=b.stdout + f"새 번호 {PHONE}\n")
    back = run("unmask", "--restore", str(vault / "c.json"), stdin=twice.stdout)
    assert (back.returncode, back.stdout) == (0, b.stdout + f"새 번호 {PHONE}\n")


@pytest.mark.parametrize("chunk", [1 << 20, 16])
@pytest.mark.parametrize("kinds", [256, 257])
def test_up_to_256_token_prefixes_of_the_input_are_kept(run, vault, monkeypatch, kinds, chunk):
    # The last kind comes on a later line, and one more line follows (in a chunk of its own with
    # small chunks): a run that stopped keeping them goes on all the same.
    monkeypatch.setattr(kestrix_cli, "CHUNK_BYTES", chunk)
    text = " ".join(f"[[PII{i}:1]]" for i in range(kinds - 1)) + f"\n[[PII:1]] 전화 {PHONE}\n[[PII0:2]] 끝\n"
    r = tokenize(run, vault=vault, stdin=text)
    kept = json.loads((vault / "r.json").read_text())["input_prefixes"]
    assert kept == (None if kinds > 256 else sorted(["PII"] + [f"PII{i}" for i in range(kinds - 1)]))
    # Beyond that the check for tokens of another run is off.
    back = run("unmask", "--restore", str(vault / "r.json"), stdin="[[PII-000000000000:0]] " + r.stdout)
    assert back.returncode == (0 if kinds > 256 else 2)
    assert back.stdout == ("[[PII-000000000000:0]] " + text if kinds > 256 else "")


def test_output_fed_back_into_the_input_is_refused(vault, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    p = subprocess.Popen([*CLI, "mask", "--policy", "tokenize", "--restore-out", str(vault / "r.json"), str(fifo)],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
    watchdog = threading.Timer(30, p.kill)  # a run that waits for all its input never answers
    watchdog.start()
    try:
        with open(fifo, "wb") as feed:
            # Enough lines that the masked output leaves the output buffer.
            feed.write(f"전화 {PHONE}\n".encode() * 500)
            feed.flush()
            token_line = p.stdout.readline()
            feed.write(token_line[len("전화 ".encode()):])  # the token opens the line
        _, err = p.communicate(timeout=60)
    finally:
        watchdog.cancel()
        p.kill()
    assert p.returncode == 2
    assert b"a token of this very run" in err and b":501:1:" in err
    assert not (vault / "r.json").exists() and leftovers(vault) == []


@pytest.mark.parametrize("token, column, kind", [
    (f"[[PII:  고객 주민번호 {RRN} ]]", 4, "a token whose number is not a number"),
    ("[[PII:1]]", 4, "a token number that the restore map (of 1 entries) does not hold"),
    (f"[[PII:{RRN}", 4, "a token without its closing ]]"),
    (f"[[PII:{'9' * 100_000}]]", 4, "a token whose number is not a number"),
    ("[[PII:0]][[PII:x]]", 13, "a token whose number is not a number"),
    (f"[[PII:{2**64 - 1}]]", 4, "a token number that the restore map (of 1 entries) does not hold"),
    (f"[[PII:+00{2**64}]]", 4, "a token whose number is not a number"),
], ids=["words", "beyond", "unclosed", "huge", "second", "largest", "too large"])
def test_bad_tokens_are_located_without_their_text(run, tmp_path, token, column, kind):
    table = tmp_path / "r.json"
    table.write_text('{"prefix":"PII","entries":[{"token":"[[PII:0]]","original":"x","entity":"phone"}]}')
    r = run("unmask", "--restore", str(table), stdin=f"첫 줄 [[PII:0]]\n둘째 {token} 끝\n")
    err = one_line_failure(r)
    assert err.startswith(f"kestrix: <stdin>:2:{column}: {kind}")
    assert RRN not in err and len(err) < 200
    shown = one_line_failure(run("unmask", "--show-text", "--restore", str(table), stdin=f"{token}\n"))
    assert (RRN in shown) == (RRN in token[:70]) and len(shown) < 250


@pytest.mark.parametrize("length, shown", [(60, "'" + "x" * 60 + "'"), (61, "'" + "x" * 60 + "…'")])
def test_show_text_quotes_sixty_characters_at_most(run, tmp_path, length, shown):
    table = tmp_path / "r.json"
    table.write_text('{"prefix":"PII","entries":[]}')
    err = one_line_failure(run("unmask", "--show-text", "--restore", str(table), stdin=f"[[PII:{'x' * length}]]\n"))
    assert err == f"kestrix: <stdin>:1:1: a token whose number is not a number: {shown}\n"


@pytest.mark.parametrize("content, message", [
    ("{}", "missing field `prefix` at line 1 column 2"),
    ('{"prefix":"PII","entries":[{"token":"t","original":"o","entity":"홍길동 880101"}]}',
     "unknown entity name at line 1 column"),
    ('{"prefix":"PII","entries":"홍길동 880101"}', "invalid type: string, expected a sequence at line 1"),
    ('{"prefix":8801011234568,"entries":[]}', "invalid type: integer, expected a string"),
])
def test_broken_restore_maps_are_not_quoted_back(run, tmp_path, content, message):
    table = tmp_path / "r.json"
    table.write_text(content, encoding="utf-8")
    err = one_line_failure(run("unmask", "--restore", str(table), stdin="x\n"))
    assert message in err and "880101" not in err and "홍길동" not in err


# ---- failures before and during the run -----------------------------------------------------


@pytest.mark.parametrize("args, message", [
    (["mask", "--policy", "bogus"], "bad policy 'bogus'"),
    (["mask", "--policy", "fill:ab"], "expected a string of length 1"),
    (["mask", "--policy", "partial:3"], "bad policy 'partial:3'"),
    (["mask", "--policy", "partial:-1,2"], "bad policy 'partial:-1,2'"),
    (["mask", "--policy", "hash:/nonexistent/key"], "cannot read hash key file"),
    (["mask", "--entity-policy", "nobody=label"], "unknown entity 'nobody'"),
    (["mask", "--entity-policy", "phone"], "expected ENTITY=POLICY"),
    (["mask", "--policy", "tokenize"], "needs --restore-out"),
    (["mask", "--context-window", str(2**32)], "bad setting"),
    (["mask", "--bogus"], "unrecognized arguments: --bogus"),
    (["detect", "/nonexistent/file.txt"], "cannot read '/nonexistent/file.txt': No such file or directory\n"),
    (["mask", "--policy", "bogus:x"], "bad policy 'bogus:x'"),
    (["mask", "--policy", "partial:3,4,*,x"], "expected a string of length 1"),
    (["detect", "/"], "Is a directory"),
    (["mask", "-o", "/nonexistent/dir/out.txt"], "cannot write '/nonexistent/dir/out.txt'"),
    (["mask", "--policy", "tokenize", "--restore-out", "/nonexistent/dir/r.json"], "cannot write the restore map"),
    (["mask", "--policy", "tokenize", "--restore-out", "/tmp", "--force"], "Is a directory"),
])
def test_bad_input_is_one_line_and_nothing_is_written(run, args, message):
    r = run(*args, stdin=TEXT)
    assert message in one_line_failure(r)
    assert r.stdout == ""


def test_non_utf8_input_is_refused_with_its_place(run, tmp_path):
    p = tmp_path / "latin1.txt"
    p.write_bytes("좋음\n".encode() + "café 010-1234-5678\n".encode("latin-1"))
    assert f"{p}:2: not UTF-8 text (byte 4 of the line)" in one_line_failure(run("mask", str(p)))


@pytest.mark.parametrize("command", [["detect"], ["mask"], ["mask", "--policy", "tokenize", "--restore-out", "R"],
                                     ["unmask", "--restore", "MAP"]])
@pytest.mark.parametrize("how", ["append", "stdin", "-o"])
def test_input_file_is_output_file(run, sample, vault, command, how):
    (vault / "MAP").write_text('{"prefix":"PII","entries":[]}')
    command = [str(vault / a) if a in ("R", "MAP") else a for a in command]
    before = sample.read_bytes()
    if how == "-o":
        r = run(*command, "-o", str(sample), str(sample))
    else:
        with open(sample, "a") as out, open(sample) as inp:
            # The file limit stops a run that would read its own output until the disk is full.
            r = subprocess.run([*CLI, *command, *([] if how == "stdin" else [str(sample)])], stdin=inp, stdout=out,
                               stderr=subprocess.PIPE, text=True, env=ENV, timeout=60,
                               preexec_fn=limit_file_size(1 << 20))
    assert "input file is output file" in one_line_failure(r)
    assert sample.read_bytes() == before
    assert not (vault / "R").exists()


def test_restore_map_is_never_written_over_an_input_or_beside_the_output(run, sample, tmp_path):
    existing = tmp_path / "exists.json"
    existing.write_text("keep me")
    r = run("mask", "--policy", "tokenize", "--restore-out", str(existing), str(sample))
    assert "refusing to overwrite" in one_line_failure(r)
    assert existing.read_text() == "keep me"
    r = run("mask", "--policy", "tokenize", "--restore-out", str(sample), "--force", str(sample))
    assert "input file is output file" in one_line_failure(r)
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    r = run("mask", "--policy", "tokenize", "--restore-out", str(tmp_path / "dangling"), "--force", str(sample))
    assert "not a regular file" in one_line_failure(r)
    assert sample.read_text(encoding="utf-8") == TEXT
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    for target in ("restore.json", "masked.txt"):
        with open(out_dir / "masked.txt", "w") as out:
            r = subprocess.run([*CLI, "mask", "--policy", "tokenize", "--restore-out", str(out_dir / target),
                                *(["--force"] if target == "masked.txt" else []), str(sample)],
                               stdout=out, stderr=subprocess.PIPE, text=True, env=ENV)
        assert ("next to the masked output" if target == "restore.json" else "into the masked output") in r.stderr
    r = run("mask", "--policy", "tokenize", "--restore-out", str(out_dir / "r.json"), "-o", str(out_dir / "m.txt"),
            str(sample))
    assert "next to the masked output" in one_line_failure(r)
    assert sorted(p.name for p in out_dir.iterdir()) == ["masked.txt"]


def test_output_file_is_replaced_only_by_a_run_that_succeeds(run, sample, tmp_path):
    out = tmp_path / "out.txt"
    out.write_text("old")
    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"fine\n\xff\n")
    one_line_failure(run("mask", "-o", str(out), str(sample), str(bad)))
    assert out.read_text() == "old" and leftovers(tmp_path) == []
    assert run("mask", "-o", str(out), str(sample)).returncode == 0
    assert out.read_text(encoding="utf-8").splitlines()[0] == "연락처는 [전화번호] 입니다"


@pytest.mark.parametrize("fails", [False, True])
def test_a_growing_output_file_goes_to_disk_as_it_grows(run, monkeypatch, tmp_path, fails):
    # Every few bytes written (here 4 KB) are synced in a thread of their own; an error of that
    # sync fails the run at its end, as the final fsync's would, and FILE keeps what it held.
    monkeypatch.setattr(kestrix_cli, "SYNC_BYTES", 4096)
    monkeypatch.setattr(kestrix_cli, "CHUNK_BYTES", 1024)
    synced = []

    def fdatasync(fd):
        synced.append(os.fstat(fd).st_size)
        if fails:
            raise OSError(errno.EIO, "Input/output error")

    monkeypatch.setattr(kestrix_cli.os, "fdatasync", fdatasync)
    source, out = tmp_path / "in.txt", tmp_path / "out.txt"
    source.write_text(f"전화 {PHONE} 끝\n" * 2000, encoding="utf-8")
    out.write_text("old")
    r = run("mask", "-o", str(out), str(source))
    assert synced and synced[0] >= 4096  # handed over as it grew, what was written so far
    if fails:
        assert "Input/output error" in one_line_failure(r) and out.read_text() == "old"
    else:
        assert r.returncode == 0 and out.read_text(encoding="utf-8") == "전화 [전화번호] 끝\n" * 2000
    assert leftovers(tmp_path) == []


def test_no_space_for_the_output(sample, vault):
    with open("/dev/full", "w") as full:
        r = subprocess.run([*CLI, "mask", "--policy", "tokenize", "--restore-out", str(vault / "r.json"), str(sample)],
                           stdout=full, stderr=subprocess.PIPE, text=True, env=ENV, timeout=60)
    assert "cannot write 'standard output': No space left on device" in one_line_failure(r)
    assert list(vault.iterdir()) == []


@pytest.mark.parametrize("where", ["restore map", "output file"])
def test_no_space_for_the_restore_map_or_the_output_file(vault, tmp_path, where):
    out = tmp_path / "out.txt"
    out.write_text("old")
    policy = ["--policy", "tokenize", "--restore-out", str(vault / "r.json")] if where == "restore map" else []
    r = subprocess.run([*CLI, "mask", *policy, "-o", str(out)], input=f"전화 {PHONE}\n" * 4000,
                       capture_output=True, text=True, env=ENV, timeout=60, preexec_fn=limit_file_size(40_000))
    expected = "cannot write the restore map" if where == "restore map" else f"cannot write {str(out)!r}"
    assert expected in one_line_failure(r) and "File too large" in r.stderr
    assert list(vault.iterdir()) == [] and out.read_text() == "old" and leftovers(tmp_path) == []


def test_reader_going_away_keeps_the_map_of_what_was_written(run, vault, tmp_path):
    source = tmp_path / "big.txt"
    source.write_text("".join(f"{i}번째 줄 연락처 {PHONE}\n" for i in range(20000)), encoding="utf-8")
    p = subprocess.Popen([*CLI, "mask", "--policy", "tokenize", "--restore-out", str(vault / "r.json"), str(source)],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
    first = p.stdout.readline()
    p.stdout.close()
    err = p.stderr.read().decode()
    assert p.wait(timeout=60) == 2
    assert "Traceback" not in err and len(err.strip().splitlines()) == 1
    assert "the output was closed before the end" in err
    back = run("unmask", "--restore", str(vault / "r.json"), stdin=first.decode())
    assert back.stdout == f"0번째 줄 연락처 {PHONE}\n"
    assert leftovers(vault) == []


def test_reader_going_away_is_a_failure_of_one_line(tmp_path):
    source = tmp_path / "big.txt"
    source.write_text(f"연락처 {PHONE}\n" * 5000, encoding="utf-8")
    for command in ("detect", "unmask"):
        args = ["--restore", str(tmp_path / "r.json")] if command == "unmask" else []
        (tmp_path / "r.json").write_text('{"prefix":"PII","entries":[]}')
        p = subprocess.Popen([*CLI, command, *args, str(source)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=ENV)
        p.stdout.readline()
        p.stdout.close()
        assert p.wait(timeout=60) == 2
        assert p.stderr.read().decode() == "kestrix: the output was closed before the end\n"


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_a_signal_removes_the_temporary_files_and_nothing_spools_the_input(vault, tmp_path, signum):
    spool = tmp_path / "tmp"
    spool.mkdir()
    p = subprocess.Popen([*CLI, "mask", "--policy", "tokenize", "--restore-out", str(vault / "r.json"),
                          "-o", str(tmp_path / "out.txt")],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         env={**ENV, "TMPDIR": str(spool)},
                         preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    p.stdin.write(f"연락처 {PHONE}\n".encode() * 100)
    p.stdin.flush()
    deadline = time.monotonic() + 30
    while not (leftovers(vault) or leftovers(spool)) and time.monotonic() < deadline:
        time.sleep(0.02)
    p.send_signal(signum)
    _, err = p.communicate(timeout=60)
    assert p.returncode == 128 + signum
    assert err.decode().startswith("kestrix: ")
    assert list(spool.iterdir()) == [] and list(vault.iterdir()) == [] and leftovers(tmp_path) == []


# ---- verify -----------------------------------------------------------------------------


def test_verify_ignores_what_the_masking_itself_wrote(run, sample):
    assert run("mask", "--verify", str(sample)).returncode == 0
    # A fixed text that looks like a phone number, and a label that is a cue word for the order
    # number after it, were written by the masking.
    assert run("mask", "--verify", "--policy", "fixed:010-9999-8888", str(sample)).returncode == 0
    r = run("mask", "--verify", stdin="계좌번호 110-123-456789, 주문 1234567890\n")
    assert (r.returncode, r.stdout) == (0, "계좌번호 [계좌번호], 주문 1234567890\n")


def test_verify_names_where_the_leftover_is(run, tmp_path):
    p = tmp_path / "mail.txt"
    # The card number after the dot hides the address; once it is masked the address shows.
    p.write_text(f"없음\n메일 hong@example.com.{CARD}\n" + f"a@example.com.{CARD}\n" * 21, encoding="utf-8")
    r = run("mask", "--verify", str(p))
    assert r.returncode == 3
    assert r.stdout.splitlines()[:2] == ["없음", "메일 hong@example.com.[카드번호]"]
    assert r.stderr.splitlines()[:2] == [f"kestrix: {p}:2:4: email still found in the masked output",
                                         f"kestrix: {p}:3:1: email still found in the masked output"]
    assert r.stderr.splitlines()[20:] == ["kestrix: 22 item(s) still found in the masked output (2 not shown)"]
    assert "hong" not in r.stderr
    p.write_text(f"a@example.com.{CARD}\n", encoding="utf-8")
    assert run("mask", "--verify", str(p)).stderr.splitlines()[1:] == [
        "kestrix: 1 item(s) still found in the masked output"]


# ---- help and version -------------------------------------------------------------------


def test_version_and_help(run):
    assert run("--version").stdout == f"kestrix {kx.__version__}\n"
    for command in ("detect", "mask", "unmask"):
        lines = run(command, "--help").stdout.splitlines()
        assert "exit status:" in lines and any(line.startswith("  3    mask --verify") for line in lines)
        assert "  128+N  stopped by signal N (130 Ctrl-C, 143 SIGTERM); temporary files are removed" in lines
        for i, line in enumerate(lines):
            if line.startswith("  -"):  # every option has a help text, on its line or the next
                assert "  " in line.strip() or lines[i + 1].startswith(" " * 8), line
    assert "trailing line break is not part of the key" in " ".join(run("mask", "--help").stdout.split())


@pytest.mark.parametrize("terminal", [None, 100])
@pytest.mark.parametrize("columns", ["44", "120", None, "x", "0", "-5"])
def test_help_is_as_wide_as_argparse_makes_it(run, monkeypatch, columns, terminal):
    if columns is None:
        monkeypatch.delenv("COLUMNS", raising=False)
    else:
        monkeypatch.setenv("COLUMNS", columns)
    if terminal:
        monkeypatch.setattr(os, "get_terminal_size", lambda fd: os.terminal_size((terminal, 30)))
    ours = run("mask", "--help").stdout
    monkeypatch.setattr(kestrix_cli, "_Formatter", argparse.RawDescriptionHelpFormatter)
    assert ours == run("mask", "--help").stdout


def test_a_run_imports_no_module_it_does_without(sample, tmp_path):
    # Each of these took a millisecond or more of every start.
    code = ("import sys, kestrix.cli as c; c.main(sys.argv[1:]); "
            "print(sorted(m for m in ('tempfile', 'shutil', 'queue', 'random') if m in sys.modules))")
    r = subprocess.run([sys.executable, "-c", code, "mask", "--jobs", "2", str(sample), "-o", str(tmp_path / "o")],
                       capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout) == (0, "[]\n"), r.stderr


@pytest.mark.parametrize("argv", [None, ["--version"]])
def test_only_the_commands_own_process_sets_the_allocator(monkeypatch, capsys, argv):
    calls = []

    class Core:
        def __getattr__(self, name):
            return (lambda: calls.append(name)) if name == "_keep_freed_memory" else getattr(kestrix_cli.core, name)

    monkeypatch.setattr(kestrix_cli, "core", Core())
    monkeypatch.setattr(sys, "argv", ["kestrix", "--version"])
    with pytest.raises(SystemExit):
        kestrix_cli.main(argv)
    assert capsys.readouterr().out == f"kestrix {kx.__version__}\n"
    assert len(calls) == (argv is None)


@pytest.mark.parametrize("taken", [0, 1, 99])
def test_a_temporary_name_that_is_taken_is_passed_over(monkeypatch, tmp_path, taken):
    names = iter(bytes([n]) * 6 for n in range(200))
    monkeypatch.setattr(kestrix_cli.os, "urandom", lambda n: next(names))
    for n in range(taken):
        (tmp_path / (".p-" + bytes([n]).hex() * 6)).write_text("theirs")
    fd, path = kestrix_cli._create_private(str(tmp_path), ".p-")
    os.close(fd)
    assert path == str(tmp_path / (".p-" + bytes([taken]).hex() * 6))
    assert os.stat(path).st_mode & 0o777 == 0o600 and os.path.getsize(path) == 0


def test_no_free_temporary_name_fails_as_a_file_that_exists(monkeypatch, tmp_path):
    monkeypatch.setattr(kestrix_cli.os, "urandom", lambda n: b"\0" * n)
    (tmp_path / (".p-" + "00" * 6)).write_text("theirs")
    with pytest.raises(FileExistsError) as e:
        kestrix_cli._create_private(str(tmp_path), ".p-")
    assert e.value.errno == errno.EEXIST
    assert (tmp_path / (".p-" + "00" * 6)).read_text() == "theirs"


@pytest.mark.skipif(shutil.which("kestrix") is None, reason="the console script is installed by pip install")
def test_console_script_is_installed(sample):
    r = subprocess.run(["kestrix", "mask"], input=TEXT, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0
    assert r.stdout.splitlines()[0] == "연락처는 [전화번호] 입니다"

"""The command-line tool, run as a separate process."""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import kestrix as kx

from conftest import luhn, rrn

ROOT = pathlib.Path(__file__).resolve().parent.parent
PHONE = "010-1234-5678"
RRN = rrn("900101123456")
CARD = luhn("457296011234567")
TEXT = f"연락처는 {PHONE} 입니다\n주민번호 {RRN[:6]}-{RRN[6:]}\n아무것도 없는 줄\n카드 {CARD}\n"


def run(*args, stdin=None, cwd=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [env.get("PYTHONPATH"), str(ROOT)]))
    return subprocess.run([sys.executable, "-m", "kestrix_cli", *args], input=stdin, capture_output=True,
                          text=True, env=env, cwd=cwd, timeout=120)


@pytest.fixture
def sample(tmp_path):
    p = tmp_path / "in" / "sample.txt"
    p.parent.mkdir()
    p.write_text(TEXT, encoding="utf-8")
    return p


def test_detect_reports_each_line_without_the_text(sample):
    r = run("detect", str(sample))
    assert r.returncode == 0, r.stderr
    rows = [json.loads(line) for line in r.stdout.splitlines()]
    assert [row["line"] for row in rows] == [1, 2, 3, 4]
    assert [[f["entity"] for f in row["findings"]] for row in rows] == [["phone"], ["resident"], [], ["credit_card"]]
    phone = rows[0]["findings"][0]
    assert phone["source"]["char"] == [5, 5 + len(PHONE)]
    assert phone["rule"] == "phone.mobile_11"
    assert PHONE not in r.stdout and RRN[:6] not in r.stdout


def test_detect_show_text_whole_and_fail_on_find(sample):
    r = run("detect", "--show-text", "--whole", "--fail-on-find", str(sample))
    assert r.returncode == 1
    (doc,) = [json.loads(line) for line in r.stdout.splitlines()]
    assert [f["text"] for f in doc["findings"]] == [PHONE, f"{RRN[:6]}-{RRN[6:]}", CARD]
    clean = run("detect", "--fail-on-find", stdin="가나다 123\n")
    assert clean.returncode == 0 and json.loads(clean.stdout)["findings"] == []


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
def test_mask_policies(sample, policy, expected_phone):
    r = run("mask", "--policy", policy, str(sample))
    assert r.returncode == 0, r.stderr
    first = r.stdout.splitlines()[0]
    assert first == f"연락처는 {expected_phone} 입니다"
    assert r.stdout.splitlines()[2] == "아무것도 없는 줄"


def test_mask_hash_matches_the_library(sample, tmp_path):
    key = tmp_path / "key"
    key.write_bytes(b"\x00secret-key")
    r = run("mask", "--policy", f"hash:{key}:20", str(sample))
    assert r.returncode == 0, r.stderr
    expected = kx.mask(TEXT.splitlines()[0], kx.PolicySet(kx.Policy.hash(b"\x00secret-key", 20))).text
    assert r.stdout.splitlines()[0] == expected


def test_entity_policy_and_config_options(sample):
    r = run("mask", "--entity-policy", "phone=code", "--entity-policy", "credit_card=fill:*", str(sample))
    lines = r.stdout.splitlines()
    assert lines[0] == "연락처는 [PHONE] 입니다"
    assert lines[1] == "주민번호 [주민등록번호]"
    assert lines[3] == "카드 " + "*" * len(CARD)
    # With a high threshold nothing passes.
    r = run("mask", "--min-score", "5", str(sample))
    assert r.stdout == TEXT


def test_tokenize_round_trip_with_one_restore_map(sample, tmp_path):
    restore = tmp_path / "maps" / "restore.json"
    restore.parent.mkdir()
    masked = tmp_path / "out.txt"
    r = run("mask", "--policy", "tokenize", "--restore-out", str(restore), str(sample))
    assert r.returncode == 0, r.stderr
    masked.write_text(r.stdout, encoding="utf-8")
    table = kx.RestoreMap.from_json(restore.read_text(encoding="utf-8"))
    assert [e.token for e in table.entries] == ["[[PII:0]]", "[[PII:1]]", "[[PII:2]]"]
    back = run("unmask", "--restore", str(restore), str(masked))
    assert back.returncode == 0, back.stderr
    assert back.stdout == TEXT


def test_tokenize_prefix_avoids_every_line_of_the_input(tmp_path):
    text = f"[[PII:0]] 앞\n뒤 [[PII0:3]]\n{PHONE}\n"
    restore = tmp_path / "r.json"
    r = run("mask", "--policy", "tokenize", "--restore-out", str(restore), stdin=text)
    assert r.returncode == 0, r.stderr
    assert json.loads(restore.read_text())["prefix"] == "PII1"
    back = run("unmask", "--restore", str(restore), stdin=r.stdout)
    assert back.stdout == text


def test_verify_exits_3_when_something_is_still_found(sample):
    assert run("mask", "--verify", str(sample)).returncode == 0
    # Fixed text that itself looks like a phone number is found again.
    r = run("mask", "--verify", "--policy", "fixed:010-9999-8888", str(sample))
    assert r.returncode == 3
    assert "still found" in r.stderr


def test_crlf_and_missing_final_newline_are_kept(tmp_path):
    p = tmp_path / "crlf.txt"
    p.write_bytes(f"전화 {PHONE}\r\n끝".encode())
    r = subprocess.run([sys.executable, "-m", "kestrix_cli", "mask", str(p)], capture_output=True,
                       env={**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), str(ROOT)]))})
    assert r.stdout == "전화 [전화번호]\r\n끝".encode()


@pytest.mark.parametrize(
    "args, message",
    [
        (["mask", "--policy", "bogus"], "bad policy 'bogus'"),
        (["mask", "--policy", "fill:ab"], "expected a string of length 1"),
        (["mask", "--policy", "partial:3"], "bad policy 'partial:3'"),
        (["mask", "--policy", "partial:-1,2"], "bad policy 'partial:-1,2'"),
        (["mask", "--policy", "hash:/nonexistent/key"], "cannot read hash key file"),
        (["mask", "--entity-policy", "nobody=label"], "unknown entity 'nobody'"),
        (["mask", "--entity-policy", "phone"], "expected ENTITY=POLICY"),
        (["mask", "--policy", "tokenize"], "needs --restore-out"),
        (["mask", "--context-window", str(2**32)], "bad setting"),
        (["detect", "/nonexistent/file.txt"], "cannot read '/nonexistent/file.txt'"),
    ],
)
def test_bad_input_is_one_line_without_traceback(args, message):
    r = run(*args, stdin="")
    assert r.returncode == 2
    assert message in r.stderr
    assert "Traceback" not in r.stderr
    assert len(r.stderr.strip().splitlines()) == 1


def test_broken_restore_map_and_bad_tokens(tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text("{}")
    r = run("unmask", "--restore", str(bad), stdin="x\n")
    assert r.returncode == 2 and "missing field `prefix`" in r.stderr and "Traceback" not in r.stderr
    good = tmp_path / "good.json"
    good.write_text('{"prefix":"PII","entries":[]}')
    r = run("unmask", "--restore", str(good), stdin="a [[PII:7]] b\n")
    assert r.returncode == 2 and "표에 없는 토큰 번호 7" in r.stderr


def test_non_utf8_input_is_refused(tmp_path):
    p = tmp_path / "latin1.txt"
    p.write_bytes("café 010-1234-5678\n".encode("latin-1"))
    r = run("mask", str(p))
    assert r.returncode == 2 and "not UTF-8" in r.stderr and "Traceback" not in r.stderr


def test_restore_map_is_never_written_over_or_beside_the_output(sample, tmp_path):
    existing = tmp_path / "exists.json"
    existing.write_text("keep me")
    r = run("mask", "--policy", "tokenize", "--restore-out", str(existing), str(sample))
    assert r.returncode == 2 and "refusing to overwrite" in r.stderr
    assert existing.read_text() == "keep me"
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), str(ROOT)]))}
    with open(out_dir / "masked.txt", "w") as out:
        r = subprocess.run([sys.executable, "-m", "kestrix_cli", "mask", "--policy", "tokenize", "--restore-out",
                            str(out_dir / "restore.json"), str(sample)], stdout=out, stderr=subprocess.PIPE,
                           text=True, env=env)
    assert r.returncode == 2 and "next to the masked output" in r.stderr
    assert not (out_dir / "restore.json").exists()
    with open(out_dir / "masked.txt", "w") as out:
        r = subprocess.run([sys.executable, "-m", "kestrix_cli", "mask", "--policy", "tokenize", "--restore-out",
                            str(out_dir / "masked.txt"), "--force", str(sample)], stdout=out, stderr=subprocess.PIPE,
                           text=True, env=env)
    assert r.returncode == 2 and "into the masked output" in r.stderr


@pytest.mark.skipif(shutil.which("kestrix") is None, reason="the console script is installed by pip install")
def test_console_script_is_installed(sample):
    r = subprocess.run(["kestrix", "mask"], input=TEXT, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0
    assert r.stdout.splitlines()[0] == "연락처는 [전화번호] 입니다"

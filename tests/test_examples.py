"""The scale-out recipes in examples/ give the same results as masking row by row."""

import importlib.util
import pathlib
import shutil
import subprocess
import sys

import pytest

import kestrix as kx

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))

LINES = [
    "연락처 010-2345-6789 입니다",
    "아무 것도 없는 줄",
    "주민번호 880101-1234568",
    "메일 someone@example.co.kr 로 주세요",
] * 7


def test_process_pool_keeps_order_and_results():
    import parallel_mask

    parallel_mask.BATCH_LINES = 5  # several batches even for a short input
    policies = kx.PolicySet(kx.Policy.tokenize()).with_entity("resident", kx.Policy.hash(b"pool-key", 10))
    config = kx.Config()
    config.min_score = 1.5  # leaves the phone numbers alone
    got = list(parallel_mask.mask_lines(LINES, policies, config, workers=2))
    want = [kx.mask(line, policies, config) for line in LINES]
    assert [text for text, _ in got] == [w.text for w in want]
    assert [text for text, _ in got] != [kx.mask(line, policies).text for line in LINES]
    assert [restore.to_json() for _, restore in got] == [w.restore.to_json() for w in want]
    assert kx.unmask(got[3][0], got[3][1]) == LINES[3]  # the e-mail's token
    assert [text for text, _ in parallel_mask.mask_lines(LINES, workers=2)] == [kx.mask(line).text for line in LINES]


def test_parallel_mask_command_writes_a_restore_map_per_line(tmp_path):
    script = ROOT / "examples" / "parallel_mask.py"
    r = subprocess.run([sys.executable, str(script), "--help"], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0 and "--restore-out" in r.stdout
    (tmp_path / "in.txt").write_text("\n".join(LINES) + "\n", encoding="utf-8")
    args = [sys.executable, str(script), str(tmp_path / "in.txt"), str(tmp_path / "out.txt"), "--workers", "2",
            "--tokenize", "--restore-out", str(tmp_path / "restore.jsonl")]
    r = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    masked = (tmp_path / "out.txt").read_text(encoding="utf-8").splitlines()
    maps = (tmp_path / "restore.jsonl").read_text(encoding="utf-8").splitlines()
    assert len(masked) == len(maps) == len(LINES)
    for line, text, table in zip(LINES, masked, maps):
        if table == "null":
            assert text == line
        else:
            assert text != line and kx.unmask(text, kx.RestoreMap.from_json(table)) == line
    r = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert r.returncode != 0 and "exists" in r.stderr  # an existing map is never overwritten


def _spark_missing():
    if shutil.which("java") is None:
        return "Java is not installed"
    for mod in ("pyspark", "pandas", "pyarrow"):
        if importlib.util.find_spec(mod) is None:
            return f"{mod} is not installed"
    return None


@pytest.mark.skipif(_spark_missing() is not None, reason=str(_spark_missing()))
def test_spark_recipe_in_local_mode(monkeypatch):
    from pyspark.sql import SparkSession

    import spark_mask

    # The workers run this interpreter (not whichever python3 comes first on the path), so that
    # they import the kestrix and pyarrow of its environment.
    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)
    spark = (SparkSession.builder.master("local[1]").appName("kestrix-test")
             .config("spark.ui.enabled", "false").config("spark.sql.shuffle.partitions", "2").getOrCreate())
    try:
        rows = [(i, text, i * 10) for i, text in enumerate(LINES)] + [(len(LINES), None, 0)]
        df = spark.createDataFrame(rows, "id long, text string, amount long")
        masked, restore = spark_mask.mask_column(df, "text", tokenize=True)
        assert masked.columns == ["id", "text", "amount"]
        got = {r["id"]: (r["text"], r["amount"]) for r in masked.collect()}
        restores = {r["id"]: r["restore"] for r in restore.collect()}
        tokenize = kx.PolicySet(kx.Policy.tokenize())
        for i, text in enumerate(LINES):
            assert got[i] == (kx.mask(text, tokenize).text, i * 10)
            if i in restores:
                assert kx.unmask(got[i][0], kx.RestoreMap.from_json(restores[i])) == text
            else:
                assert got[i][0] == text
        assert got[len(LINES)] == (None, 0)
    finally:
        spark.stop()

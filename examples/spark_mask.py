"""Mask one column of a large table on Apache Spark.

Each executor runs `kestrix.mask` per row through `mapInPandas`. With a tokenizing policy the
restore maps are returned as a second table (row id, restore map JSON) that must be stored apart
from the masked table: it is personal data itself.

    spark-submit examples/spark_mask.py input.parquet text_column output_dir
"""

from __future__ import annotations

import sys
from typing import Iterator

MASKED = "masked"


def mask_partitions(column: str, id_column: str, tokenize: bool):
    """The function handed to mapInPandas: pandas batches in, masked batches out."""

    def run(batches: Iterator["pandas.DataFrame"]) -> Iterator["pandas.DataFrame"]:  # noqa: F821
        import pandas as pd

        import kestrix as kx

        policies = kx.PolicySet(kx.Policy.tokenize() if tokenize else kx.Policy.redact_label())
        for df in batches:
            masked, restores = [], []
            for value in df[column]:
                if not isinstance(value, str):  # nulls arrive as None or NaN
                    masked.append(None)
                    restores.append(None)
                    continue
                out = kx.mask(value, policies)
                masked.append(out.text)
                restores.append(out.restore.to_json() if out.restore is not None and len(out.restore) else None)
            yield pd.DataFrame({id_column: df[id_column], MASKED: masked, "restore": restores})

    return run


def mask_column(df, column: str, id_column: str = "id", tokenize: bool = False):
    """Returns (masked table, restore table). The masked table has every column of `df` with
    `column` replaced; the restore table has `id_column` and `restore` for rows with tokens."""
    from pyspark.sql import functions as F
    from pyspark.sql.types import StringType, StructField, StructType

    id_type = df.schema[id_column].dataType
    schema = StructType([
        StructField(id_column, id_type, False),
        StructField(MASKED, StringType(), True),
        StructField("restore", StringType(), True),
    ])
    out = df.select(id_column, column).mapInPandas(mask_partitions(column, id_column, tokenize), schema)
    out = out.cache()
    masked = df.drop(column).join(out.select(id_column, F.col(MASKED).alias(column)), id_column)
    restore = out.where(F.col("restore").isNotNull()).select(id_column, "restore")
    return masked.select(*df.columns), restore


def main(argv: list[str]) -> int:
    from pyspark.sql import SparkSession

    src, column, dst = argv[1], argv[2], argv[3]
    spark = SparkSession.builder.appName("kestrix-mask").getOrCreate()
    df = spark.read.parquet(src)
    masked, restore = mask_column(df, column, tokenize=True)
    masked.write.mode("error").parquet(f"{dst}/masked")
    restore.write.mode("error").parquet(f"{dst}/restore")  # store apart, under tighter access
    spark.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

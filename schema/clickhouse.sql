-- Tables for the results archive (one JSON record per finished test, version 1),
-- for ClickHouse 18.16 as Debian 12 ships it.
--
-- Run on every shard of the cluster "varnholt":
--   clickhouse-client --multiquery < schema/clickhouse.sql
--
-- varnholt.tests_local holds one shard's rows; varnholt.tests, a Distributed table
-- over all shards, is where records are inserted and queried. Records are loaded
-- with JSONEachRow and input_format_skip_unknown_fields=1: the columns are the
-- record's top-level scalars, its nested members are skipped.
--
-- Loading a record twice does not count it twice: the Distributed table sends
-- every copy of a test id to the same shard (cityHash64(test_id)), where both land
-- in the same month partition (the start time is part of the record) and
-- ReplacingMergeTree keeps one row per test id when it merges. Until a merge has
-- run, queries read with FINAL, which collapses the copies at read time.

CREATE DATABASE IF NOT EXISTS varnholt;

CREATE TABLE IF NOT EXISTS varnholt.tests_local
(
    schema_version UInt16,
    test_id String,
    kind String,
    server_host String,
    server_version String,
    server_revision String,
    family String,
    client_address String,
    client_port UInt16,
    server_address String,
    server_port UInt16,
    transport String DEFAULT 'tcp',
    tls_version Nullable(String),
    tls_cipher Nullable(String),
    kernel_tls Nullable(UInt8),
    start_time String,
    end_time String,
    start_time_us UInt64,
    end_time_us UInt64,
    outcome String,
    reason String,
    unit_id UInt32,
    session_id UInt64,
    connection_count UInt32,
    total_bytes UInt64,
    data_bytes UInt64,
    measured_bps Nullable(Float64)
)
ENGINE = ReplacingMergeTree()
PARTITION BY toYYYYMM(toDateTime(intDiv(start_time_us, 1000000), 'UTC'))
ORDER BY test_id;

CREATE TABLE IF NOT EXISTS varnholt.tests AS varnholt.tests_local
ENGINE = Distributed(varnholt, varnholt, tests_local, cityHash64(test_id));

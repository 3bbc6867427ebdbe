#!/usr/bin/env bash
# HTTPGet against curl's command-line tool: both fetch the same 50 MiB file
# from the loopback test server (tests/support/http_server.py) over HTTP and
# over HTTPS (a test CA made here, that HTTPGet trusts through SSL_CERT_FILE
# and curl through CURL_CA_BUNDLE),
# repetitions interleaved at random; prints the median throughputs and the
# ratios (ours / curl's; the goal is at least 0.8 each). The adapter's reads
# alone (each 16 KiB read dropped, as curl drops the body into /dev/null) are
# shown beside HTTPGet, which keeps the whole body in memory; and curl once
# more keeping the body as well (in a file of the temporary folder).
#
# The Python server is not what limits either side: over HTTP it sends the
# file with sendfile, and over HTTPS it kept pace with `openssl s_server -WWW`
# serving the same file.
#
#   cmake --build build/linux -j2 --target rl_bench
#   bench/http_get.sh [BUILD_DIR]        BUILD_DIR defaults to build/linux (made by ./test)
set -euo pipefail
build=${1:-build/linux}
here=$(cd "$(dirname "$0")/.." && pwd)
[ -x "$build/rl_bench" ] || { echo "missing $build/rl_bench: build it first (see the top of $0)" >&2; exit 1; }
# shellcheck source=bench/loopback_servers.sh
. "$here/bench/loopback_servers.sh"

mkdir -p "$work/root"
head -c $((50 * 1024 * 1024)) /dev/urandom >"$work/root/big.bin"
start_servers "$work/root"

json=$work/result.json
RL_BENCH_HTTP_URL=http://127.0.0.1:$http_port/big.bin \
RL_BENCH_HTTPS_URL=https://127.0.0.1:$https_port/big.bin \
SSL_CERT_FILE=$work/certs/ca.pem CURL_CA_BUNDLE=$work/certs/ca.pem \
    "$build/rl_bench" --benchmark_filter='BM_HTTPGet|BM_PortReads|BM_CurlCommand' --benchmark_repetitions=5 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_format=json >"$json"

python3 - "$json" <<'PY'
import json, sys
runs = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("error_occurred"):
        sys.exit(f"{b['name']}: {b.get('error_message')}")
    if b.get("aggregate_name") == "median":
        runs[b["run_name"].split("/")[0] + "/" + b["run_name"].split("/")[1]] = b
for scheme in ("http", "https"):
    ours, port, curl, kept = (runs.get(key) for key in (
        f"BM_HTTPGet/{scheme}", f"BM_PortReads/{scheme}", f"BM_CurlCommand/{scheme}", f"BM_CurlCommand/{scheme}_kept"))
    if ours is None or port is None or curl is None or kept is None:
        sys.exit(f"{scheme}: no result")
    for label, run in (("HTTPGet", ours), ("adapter reads alone", port), ("curl -s -o /dev/null", curl),
                       ("curl -s -o FILE", kept)):
        print(f"{scheme:5s} {label:22s} {run['bytes_per_second'] / 2**20:8.1f} MiB/s  ({run['real_time']:.0f} ms per 50 MiB)")
    print(f"{scheme:5s} {'ratio HTTPGet / curl':22s} {ours['bytes_per_second'] / curl['bytes_per_second']:8.2f}")
    print(f"{scheme:5s} {'ratio adapter / curl':22s} {port['bytes_per_second'] / curl['bytes_per_second']:8.2f}")
    print(f"{scheme:5s} {'ratio HTTPGet / curl -o FILE':22s} {ours['bytes_per_second'] / kept['bytes_per_second']:8.2f}")
PY

#!/usr/bin/env bash
# The download and staging of an update (bench/UpdateDownloadBench.cpp:
# DownloadAndInstall without its 500 ms pause) against curl's command-line
# tool fetching the same package piped into a python3 zlib inflater that
# writes the file. The program file is 50 MiB (a short script that ends at
# once, then copies of the restlevel program: content that compresses as a
# program does), published with tools/publish-update.py and served by the
# loopback test server (tests/support/http_server.py) over HTTP and over
# HTTPS (a test CA made here, trusted through SSL_CERT_FILE and
# CURL_CA_BUNDLE). Repetitions interleaved at random; prints the median
# throughputs (of the inflated 50 MiB) and the ratios (ours / curl's; the goal
# is at least 0.8 each), and the verification's share of ours: the package is
# signed with the build's test key, and ours runs once trusting the build's
# keys, as the program does, and once trusting none (nothing verified). The staged script that each download launches may
# find itself already cleared by the next download; what it says about that
# is kept out of the way.
#
#   cmake --build build/linux -j2 --target rl_bench restlevel
#   bench/update_download.sh [BUILD_DIR]        BUILD_DIR defaults to build/linux (made by ./test)
set -euo pipefail
build=${1:-build/linux}
here=$(cd "$(dirname "$0")/.." && pwd)
[ -x "$build/rl_bench" ] && [ -x "$build/restlevel" ] \
    || { echo "missing $build/rl_bench or $build/restlevel: build them first (see the top of $0)" >&2; exit 1; }
# shellcheck source=bench/loopback_servers.sh
. "$here/bench/loopback_servers.sh"

size=$((50 * 1024 * 1024))
mkdir -p "$work/dist" "$work/install" "$work/config" "$work/cache"
python3 - "$build/restlevel" "$work/dist/restlevel" "$work/install/restlevel" "$size" <<'PY'
import sys
program, dist, installed, size = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
header = b"#!/bin/sh\nexit 0\n"
body = open(program, "rb").read()
data = header + body * (size // len(body) + 1)
open(dist, "wb").write(data[:size])
open(installed, "wb").write(header)
PY
chmod 755 "$work/dist/restlevel" "$work/install/restlevel"
touch -d '-1 day' "$work/install/restlevel"
# Signed with the build's test key, by Debian's interpreter (python3-cryptography).
key=$build/update-keys/test-signing.pem
[ -f "$key" ] || { echo "no $key: configure $build with RL_TEST_UPDATE_KEY=ON" >&2; exit 1; }
/usr/bin/python3 "$here/tools/publish-update.py" "$work/dist" "$work/server" --key "$key" --program restlevel >/dev/null
echo "package: $(stat -c %s "$work/server/restlevel.zbin") bytes for $size"
start_servers "$work/server"

json=$work/result.json
RL_BENCH_UPDATE_HTTP_URL=http://127.0.0.1:$http_port/restlevel.zbin \
RL_BENCH_UPDATE_HTTPS_URL=https://127.0.0.1:$https_port/restlevel.zbin \
RL_BENCH_UPDATE_PROGRAM=$work/install/restlevel RL_BENCH_UPDATE_SIZE=$size \
RL_BENCH_UPDATE_OUTPUT=$work/curl-restlevel \
XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache \
SSL_CERT_FILE=$work/certs/ca.pem CURL_CA_BUNDLE=$work/certs/ca.pem \
    "$build/rl_bench" --benchmark_filter='BM_DownloadAndStage|BM_CurlInflate' --benchmark_repetitions=5 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_format=json >"$json" 2>"$work/bench.err" || { cat "$work/bench.err" >&2; exit 1; }

python3 - "$json" <<'PY'
import json, sys
runs = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("error_occurred"):
        sys.exit(f"{b['name']}: {b.get('error_message')}")
    if b.get("aggregate_name") == "median":
        name, scheme = b["run_name"].split("/")[:2]
        runs[name + "/" + scheme] = b
for scheme in ("http", "https"):
    ours, curl = runs.get(f"BM_DownloadAndStage/{scheme}"), runs.get(f"BM_CurlInflate/{scheme}")
    if ours is None or curl is None:
        sys.exit(f"{scheme}: no result")
    unverified = runs.get(f"BM_DownloadAndStage/{scheme}_unverified")
    if unverified is None:
        sys.exit(f"{scheme}: no unverified result")
    for label, run in (("DownloadAndInstall", ours), ("  without verifying", unverified),
                       ("curl | python3 zlib", curl)):
        print(f"{scheme:5s} {label:22s} {run['bytes_per_second'] / 2**20:8.1f} MiB/s  ({run['real_time']:.0f} ms per 50 MiB)")
    print(f"{scheme:5s} {'ratio (ours / curl)':22s} {ours['bytes_per_second'] / curl['bytes_per_second']:8.2f}")
    share = (ours["real_time"] - unverified["real_time"]) / ours["real_time"]
    print(f"{scheme:5s} {'verification share':22s} {100 * share:7.1f} %")
PY

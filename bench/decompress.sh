#!/usr/bin/env bash
# Runs the decompression benchmark (bench/DecompressBench.cpp) and prints the
# throughput of DecompressToFile, that of a python3 process doing the same
# with zlib, and their ratio (ours / Python's; the goal is at least 0.8).
#
#   bench/decompress.sh [BUILD_DIR]      BUILD_DIR defaults to build/linux (made by ./test)
set -euo pipefail
build=${1:-build/linux}
json=$(mktemp)
trap 'rm -f "$json"' EXIT
"$build/rl_bench" --benchmark_filter='Decompress' --benchmark_format=json >"$json"
python3 - "$json" <<'PY'
import json, sys
runs = {b["name"].split("/")[0]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
ours, python = runs.get("BM_DecompressToFile"), runs.get("BM_DecompressPythonProcess")
for label, run in (("DecompressToFile", ours), ("python3 zlib process", python)):
    if run is None or run.get("error_occurred"):
        sys.exit(f"{label}: no result ({run and run.get('error_message')})")
    print(f"{label:22s} {run['bytes_per_second'] / 2**20:8.1f} MiB/s  ({run['real_time']:.0f} ms per 50 MiB)")
print(f"{'ratio (ours / Python)':22s} {ours['bytes_per_second'] / python['bytes_per_second']:8.2f}")
PY

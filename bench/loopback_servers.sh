# Sourced by the network benchmarks (bench/http_get.sh, bench/update_download.sh):
# a scratch folder (bench/scratch.sh), curl's command-line tool, and the loopback test server
# (tests/support/http_server.py) over HTTP and over HTTPS with a test CA made
# here; the servers and the folder go when the script ends. Needs $here, the
# source tree.

if ! command -v curl >/dev/null; then
    apt-get install -y curl >/dev/null 2>&1 || { apt-get update >/dev/null && apt-get install -y curl >/dev/null; } \
        || { echo "curl could not be installed" >&2; exit 1; }
fi

# shellcheck source=bench/scratch.sh
. "$here/bench/scratch.sh"

# Sets $port; not in a subshell, so that the cleanup knows the server.
start_server() {  # root, output file, extra arguments...
    local root=$1 out=$2; shift 2
    python3 "$here/tests/support/http_server.py" --root "$root" "$@" >"$out" &
    pids+=($!)
    local i
    for i in $(seq 100); do
        port=$(awk '/^PORT /{print $2}' "$out" 2>/dev/null)
        [ -n "$port" ] && return
        sleep 0.1
    done
    echo "the test server did not start" >&2; exit 1
}

# Serves the folder over HTTP on $http_port and over HTTPS on $https_port;
# the CA to trust is $work/certs/ca.pem.
start_servers() {  # root
    "$here/tests/support/make_test_ca.sh" "$work/certs"
    start_server "$1" "$work/http.out"
    http_port=$port
    start_server "$1" "$work/https.out" --tls "$work/certs/server.pem" "$work/certs/server.key"
    https_port=$port
}

#!/usr/bin/env bash
# HTTP download benchmark: a 1 GiB file from the HTTP test server on loopback (its
# sendfile path, so the server costs little), fetched alternately by `curl -o` and
# by our engine (bench/http/http_bench, native-release build), a few rounds each.
# Prints every run and the ratio of the medians (our throughput / curl's).
# Usage: bench/http/run.sh [ROUNDS] [SIZE_MB] [--show]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
rounds=${1:-3}
size_mb=${2:-1024}
show=${3:-}

cmake --preset native-release >/dev/null
cmake --build --preset native-release --target http_bench -j2 >/dev/null
bench=$root/build/native-release/bin/http_bench

work=$(mktemp -d /tmp/nolt-http-bench.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/www" "$work/out"
head -c $((size_mb * 1024 * 1024)) /dev/urandom > "$work/www/big.bin"
python3 tests/http/nolt_http_server.py --root "$work/www" --port-file "$work/port" > /dev/null 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat "$work/port")/big.bin"
bytes=$(stat -c %s "$work/www/big.bin")

calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
curl_times=()
ours_times=()
run_curl() {
  rm -f "$work/out/"*
  sync
  local t0 t1
  t0=$(date +%s.%N)
  curl -s -o "$work/out/curl.bin" "$url"
  t1=$(date +%s.%N)
  curl_times+=("$(calc "$t1 - $t0")")
  cmp -s "$work/out/curl.bin" "$work/www/big.bin" || { echo "curl copy differs"; exit 1; }
}
run_ours() {
  rm -f "$work/out/"*
  sync
  local t0 t1
  t0=$(date +%s.%N)
  "$bench" "$url" "$work/out" $show > "$work/ours.txt"
  t1=$(date +%s.%N)
  ours_times+=("$(calc "$t1 - $t0")")
  cmp -s "$work/out/big.bin" "$work/www/big.bin" || { echo "our copy differs"; exit 1; }
}
# The order alternates, and dirty pages are written out before every run, so
# neither side pays for the other's write-back.
for i in $(seq "$rounds"); do
  if [ $((i % 2)) -eq 1 ]; then run_curl; run_ours; else run_ours; run_curl; fi
  printf "round %d: curl %.3f s (%.0f MB/s), ours %.3f s (%.0f MB/s; %s)\n" "$i" \
    "${curl_times[-1]}" "$(calc "$bytes / ${curl_times[-1]} / 1000000")" \
    "${ours_times[-1]}" "$(calc "$bytes / ${ours_times[-1]} / 1000000")" "$(cat "$work/ours.txt")"
done

median() { printf "%s\n" "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
mc=$(median "${curl_times[@]}")
mo=$(median "${ours_times[@]}")
printf "median: curl %.3f s, ours %.3f s; throughput ratio ours/curl = %.2f\n" "$mc" "$mo" "$(calc "$mc / $mo")"

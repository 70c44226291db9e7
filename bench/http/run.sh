#!/usr/bin/env bash
# HTTP download benchmark: a 1 GiB file from the HTTP test server on loopback (its
# sendfile path, so the server costs little), fetched alternately by `curl -o` and
# by our engine (bench/http/http_bench, native-release build), a few rounds each.
# Prints every run and the ratios of the medians: throughput (wall time) and CPU
# time (user + system, which the machine's other load disturbs less).
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
python3 tests/support/nolt_http_server.py --root "$work/www" --port-file "$work/port" > /dev/null 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat "$work/port")/big.bin"
bytes=$(stat -c %s "$work/www/big.bin")

calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
curl_times=()
ours_times=()
curl_cpu=()
ours_cpu=()
# Wall time and CPU time (user + system) of one command, via bash's own timer.
timed() {
  local TIMEFORMAT="%R %U %S" out
  out=$( { time "$@" > "$work/stdout.txt" ; } 2>&1 )
  read -r wall user sys <<< "$out"
  cpu=$(calc "$user + $sys")
}
run_curl() {
  rm -f "$work/out/"*
  sync
  timed curl -s -o "$work/out/curl.bin" "$url"
  curl_times+=("$wall")
  curl_cpu+=("$cpu")
  cmp -s "$work/out/curl.bin" "$work/www/big.bin" || { echo "curl copy differs"; exit 1; }
}
run_ours() {
  rm -f "$work/out/"*
  sync
  timed "$bench" "$url" "$work/out" $show
  cp "$work/stdout.txt" "$work/ours.txt"
  ours_times+=("$wall")
  ours_cpu+=("$cpu")
  cmp -s "$work/out/big.bin" "$work/www/big.bin" || { echo "our copy differs"; exit 1; }
}
# The order alternates, and dirty pages are written out before every run, so
# neither side pays for the other's write-back.
for i in $(seq "$rounds"); do
  if [ $((i % 2)) -eq 1 ]; then run_curl; run_ours; else run_ours; run_curl; fi
  printf "round %d: curl %.3f s (%.0f MB/s, cpu %.2f s), ours %.3f s (%.0f MB/s, cpu %.2f s)\n" "$i" \
    "${curl_times[-1]}" "$(calc "$bytes / ${curl_times[-1]} / 1000000")" "${curl_cpu[-1]}" \
    "${ours_times[-1]}" "$(calc "$bytes / ${ours_times[-1]} / 1000000")" "${ours_cpu[-1]}"
done

median() { printf "%s\n" "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
mc=$(median "${curl_times[@]}")
mo=$(median "${ours_times[@]}")
cc=$(median "${curl_cpu[@]}")
oc=$(median "${ours_cpu[@]}")
printf "median wall: curl %.3f s, ours %.3f s; throughput ratio ours/curl = %.2f\n" "$mc" "$mo" "$(calc "$mc / $mo")"
printf "median cpu:  curl %.3f s, ours %.3f s; cpu ratio curl/ours = %.2f\n" "$cc" "$oc" "$(calc "$cc / $oc")"
echo "(load average: $(cut -d' ' -f1-3 /proc/loadavg); the machine's other work makes wall times noisy)"

#!/usr/bin/env bash
# Image port capacity and memory of the depth service: quarnel on the simulated camera gets more
# image clients than its per-port cap at once (each client's frame rates are printed: the
# admitted ones stream, the others get nothing; frames and losses beside the rates, which count
# from the stream request), its resident memory with the cap full, then
# ROUNDS rounds of six clients coming and going, with its resident memory before and after.
#   tools/stream_capacity/run.sh [ROUNDS] [SECONDS]   (default 60 rounds, 10 s at full cap;
#   needs build/plain, or VARIANT=address)
set -euo pipefail
cd "$(dirname "$0")/../.."

rounds="${1:-60}"
seconds="${2:-10}"
build="$PWD/build/${VARIANT:-plain}"
cap="$(sed -n 's/^constexpr uint32_t kStipMaxClientsPerPort = \([0-9]*\);/\1/p' network/include/pelarin/stip.h)"
over_cap=2
round_clients=6
round_seconds=2
port=9220
heartbeat_port=9230
daemon_port=9231

work="$(mktemp -d /tmp/stream-capacity-XXXXXX)"
source tools/lib/quarnel_harness.sh
cleanup() { quarnel_stop; rm -rf "$work"; }
trap cleanup EXIT
quarnel_prepare_root
quarnel_start
quarnel_wait_frames
rss_kb() { quarnel_rss_kb; }

# Starts N clients for S seconds with output under $work/NAME-<n>.txt; waits for them all.
run_clients() {
  local n="$1" s="$2" name="$3" pids=()
  for ((c = 1; c <= n; c++)); do
    "$build/tools/camera_client/camera_client" --address 127.0.0.1 --port "$port" --seconds "$s" \
      --out "$work/out" --png-every 1000000 > "$work/$name-$c.txt" 2>&1 &
    pids+=($!)
  done
  sleep $((s / 2))
  rss_during="$(rss_kb)"
  for pid in "${pids[@]}"; do wait "$pid" || true; done
}

rss_start="$(rss_kb)"
run_clients $((cap + over_cap)) "$seconds" full
echo "cap=$cap clients=$((cap + over_cap)) rss_kb_with_cap_full=$rss_during"
for ((c = 1; c <= cap + over_cap; c++)); do
  fps="$(awk '$1 == "colour" || $1 == "disparity" { for (i = 2; i <= NF; i++) if ($i ~ /^(frames|lost|fps)=/) v[$1] = v[$1] " " $1 "_" $i }
    END { print substr(v["colour"], 2) v["disparity"] }' "$work/full-$c.txt")"
  echo "client$c $fps"
done
echo "refused_log_lines=$(grep -c 'Reach max connect' "$work/quarnel.log" || true)"

rss_before_rounds="$(rss_kb)"
for ((r = 1; r <= rounds; r++)); do run_clients "$round_clients" "$round_seconds" round; done
sleep 1
echo "rounds=$rounds clients_per_round=$round_clients rss_kb start=$rss_start before_rounds=$rss_before_rounds after_rounds=$(rss_kb)"

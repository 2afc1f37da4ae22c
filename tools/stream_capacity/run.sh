#!/usr/bin/env bash
# Image port capacity and memory of the depth service: quarnel on the simulated camera gets more
# image clients than its per-port cap at once (each client's frame rates are printed: the
# admitted ones stream, the others get nothing), its resident memory with the cap full, then
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
serving_wait_seconds=60
config_name=default_video_stereo_server_configuration.xml

work="$(mktemp -d /tmp/stream-capacity-XXXXXX)"
service_pid=""
cleanup() {
  [ -z "$service_pid" ] || { kill -TERM "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT

set_value() { sed -i "s|<record name=$1 type=\([a-z]*\) value=[^>]*>|<record name=$1 type=\1 value=$2>|" "$work/$config_name"; }
cp "service/config/$config_name" "$work/$config_name"
set_value server_port "$port"
set_value local_heartbeat_socket_port "$heartbeat_port"
set_value daemon_listen_socket_port "$daemon_port"
board/make-root/make-root "$work/root" "$work/$config_name=/system/etc/$config_name" \
  board/sim_module/data/sim_module_calibration.yml=/system/etc/sim_module_calibration.yml \
  board/camera_hal/data/sim_camera.conf=/system/etc/sim_camera.conf

BOARD_ROOT="$work/root" "$build/service/quarnel" > "$work/quarnel.log" 2>&1 &
service_pid=$!
listening() { [ -n "$(ss -Hltn "sport = :$1")" ]; }
for ((i = 0; i < serving_wait_seconds * 10; i++)); do
  kill -0 "$service_pid" || { echo "quarnel ended; its log:" >&2; cat "$work/quarnel.log" >&2; exit 1; }
  listening "$port" && listening $((port + 1)) && listening $((port + 2)) && break
  sleep 0.1
done
rss_kb() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$service_pid/status"; }

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
  fps="$(awk '$1 == "colour" { for (i = 2; i <= NF; i++) if ($i ~ /^fps=/) c = $i } $1 == "disparity" { for (i = 2; i <= NF; i++) if ($i ~ /^fps=/) d = $i } END { print "colour_" c " disparity_" d }' "$work/full-$c.txt")"
  echo "client$c $fps"
done
echo "refused_log_lines=$(grep -c 'Reach max connect' "$work/quarnel.log" || true)"

rss_before_rounds="$(rss_kb)"
for ((r = 1; r <= rounds; r++)); do run_clients "$round_clients" "$round_seconds" round; done
sleep 1
echo "rounds=$rounds clients_per_round=$round_clients rss_kb start=$rss_start before_rounds=$rss_before_rounds after_rounds=$(rss_kb)"

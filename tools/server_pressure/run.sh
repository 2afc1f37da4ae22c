#!/usr/bin/env bash
# The depth service's servers under pressure from one peer on loopback, with its figures:
#  1. quarnel under a limit of 256 descriptors; a client streams for 20 s while a peer holds
#     300 connections to the control port from second 5 to second 10 (the control server holds
#     its share of the descriptors, the newest pushing out the quietest): the client's frames, and
#     the "Accept failed" log lines written during the attack.
#  2. two loops connecting to the control port and closing at once, for 20 s, while control
#     requests are sent one after another and a client streams beside them: each request's
#     answer time and the stream's frames.
#   tools/server_pressure/run.sh   (needs build/plain, or VARIANT=address)
set -euo pipefail
cd "$(dirname "$0")/../.."

build="$PWD/build/${VARIANT:-plain}"
client="$build/tools/camera_client/camera_client"
port=9240
heartbeat_port=9250
daemon_port=9251
stream_seconds=20
attack_start_seconds=5
attack_seconds=5
held_connections=300
descriptor_limit=256
flood_loops=2
control_requests=30

work="$(mktemp -d /tmp/server-pressure-XXXXXX)"
source tools/lib/quarnel_harness.sh
cleanup() { quarnel_stop; rm -rf "$work"; }
trap cleanup EXIT
quarnel_prepare_root
# Starts quarnel with the given command in front and waits until it serves and frames flow.
start_service() {
  quarnel_start "$@"
  quarnel_wait_frames
}
stop_service() { quarnel_stop; }
frames_of() { awk '$1 == "colour" || $1 == "disparity" { printf "%s ", $0 } END { print "" }' "$1"; }

# 1. Out of descriptors.
start_service prlimit --nofile="$descriptor_limit"
"$client" --address 127.0.0.1 --port "$port" --seconds "$stream_seconds" --out "$work/out" \
  --png-every 1000000 > "$work/stream1.txt" 2>&1 &
stream_pid=$!
sleep "$attack_start_seconds"
log_lines_before="$(grep -c 'Accept failed' "$work/quarnel.log" || true)"
held=()
for ((i = 0; i < held_connections; i++)); do
  exec {fd}<>"/dev/tcp/127.0.0.1/$((port + 2))" && held+=("$fd") || true
done
sleep "$attack_seconds"
log_lines_during=$(($(grep -c 'Accept failed' "$work/quarnel.log" || true) - log_lines_before))
for fd in "${held[@]}"; do exec {fd}>&-; done
wait "$stream_pid" || true
echo "descriptors: limit=$descriptor_limit held=${#held[@]} for ${attack_seconds}s accept_failed_log_lines=$log_lines_during"
echo "descriptors: stream of ${stream_seconds}s: $(frames_of "$work/stream1.txt")"
stop_service

# 2. Connection flood on the control port.
start_service
"$client" --address 127.0.0.1 --port "$port" --seconds "$stream_seconds" --out "$work/out" \
  --png-every 1000000 > "$work/stream2.txt" 2>&1 &
stream_pid=$!
flood_end=$(($(date +%s) + stream_seconds))
flood_pids=()
for ((f = 0; f < flood_loops; f++)); do
  (
    n=0
    while [ "$(date +%s)" -lt "$flood_end" ]; do
      for ((k = 0; k < 50; k++)); do
        exec {fd}<>"/dev/tcp/127.0.0.1/$((port + 2))" && exec {fd}>&- || true
      done
      n=$((n + 50))
    done
    echo "$n" > "$work/flood$f.count"
  ) &
  flood_pids+=($!)
done
answered=0
times=()
for ((r = 0; r < control_requests; r++)); do
  start="$(date +%s.%N)"
  if "$client" --address 127.0.0.1 --port "$port" --seconds 0 --command version > "$work/control.txt" 2>&1; then
    answered=$((answered + 1))
  fi
  times+=("$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')")
  sleep 0.3
done
for pid in "${flood_pids[@]}"; do wait "$pid" || true; done
wait "$stream_pid" || true
connections=0
for ((f = 0; f < flood_loops; f++)); do connections=$((connections + $(cat "$work/flood$f.count"))); done
echo "flood: $connections connections opened and closed in ${stream_seconds}s by $flood_loops loops"
echo "flood: control requests answered=$answered of $control_requests, seconds each (client start to exit):"
echo "flood:   $(printf '%s\n' "${times[@]}" | sort -n | tr '\n' ' ')"
echo "flood: stream of ${stream_seconds}s: $(frames_of "$work/stream2.txt")"
echo "flood: client list dumps in the log: $(grep -c 'Client number' "$work/quarnel.log" || true)"

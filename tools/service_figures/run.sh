#!/usr/bin/env bash
# Figures of the depth service under load: quarnel on the simulated camera streams to two clients
# at once; its CPU use over the clients' run and its resident memory, sampled every second while
# they run, are printed with each client's frame rate and capture-to-receipt latency.
#   tools/service_figures/run.sh [SECONDS]   (default 60; needs build/plain, or VARIANT=address)
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${1:-60}"
build="$PWD/build/${VARIANT:-plain}"
port=9200                 # base server port of this run (the service uses it to +3)
heartbeat_port=9210       # the service's own heartbeat socket
daemon_port=9211          # where its heartbeats go (nobody listens)
clients=2
serving_wait_seconds=60
config_name=default_video_stereo_server_configuration.xml
ticks_per_second="$(getconf CLK_TCK)"

work="$(mktemp -d /tmp/service-figures-XXXXXX)"
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

# utime + stime of the service in clock ticks, and its resident memory in kB.
cpu_ticks() { sed 's/.*) //' "/proc/$service_pid/stat" | awk '{ print $12 + $13 }'; }
rss_kb() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$service_pid/status"; }

client_pids=()
for ((c = 1; c <= clients; c++)); do
  "$build/tools/camera_client/camera_client" --address 127.0.0.1 --port "$port" --seconds "$seconds" \
    --out "$work/out$c" --png-every 1000000 > "$work/client$c.txt" 2>&1 &
  client_pids+=($!)
done

start_ticks="$(cpu_ticks)"
start_time="$(date +%s.%N)"
rss_start="$(rss_kb)"
rss_max="$rss_start"
rss_end="$rss_start"
clients_running() { for pid in "${client_pids[@]}"; do kill -0 "$pid" 2>/dev/null && return 0; done; return 1; }
while clients_running; do
  sleep 1
  rss_end="$(rss_kb)"
  [ "$rss_end" -le "$rss_max" ] || rss_max="$rss_end"
done
end_ticks="$(cpu_ticks)"
end_time="$(date +%s.%N)"

client_status=0
for pid in "${client_pids[@]}"; do wait "$pid" || client_status=1; done

awk -v t="$((end_ticks - start_ticks))" -v hz="$ticks_per_second" -v a="$start_time" -v b="$end_time" -v n="$clients" \
  'BEGIN { printf "quarnel cpu=%.1f%% of one core over %.1f s, streaming to %d clients\n", 100 * t / hz / (b - a), b - a, n }'
echo "quarnel rss_kb start=$rss_start max=$rss_max end=$rss_end"
for ((c = 1; c <= clients; c++)); do
  grep -E '^(colour|disparity|latency) ' "$work/client$c.txt" | sed "s/^/client$c /" || echo "client$c printed no summary"
done
exit "$client_status"

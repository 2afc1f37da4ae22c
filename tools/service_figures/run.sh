#!/usr/bin/env bash
# Figures of the depth service under load: quarnel on the simulated camera streams to two clients
# at once; its CPU use over the clients' run and its resident memory, sampled every second while
# they run, are printed with each client's frame rate and capture-to-receipt latency.
#   tools/service_figures/run.sh [SECONDS]   (default 60; needs build/plain, or VARIANT=address)
# CLIENTS=N streams to N clients instead (0: the service alone for SECONDS); PROFILE=1 also
# samples the service with perf over the run and prints where its time goes, by thread, by
# library and by function. The figures start once frames flow, not at the service's start.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${1:-60}"
clients="${CLIENTS:-2}"
build="$PWD/build/${VARIANT:-plain}"
port=9200                 # base server port of this run (the service uses it to +3)
heartbeat_port=9210       # the service's own heartbeat socket
daemon_port=9211          # where its heartbeats go (nobody listens)
ticks_per_second="$(getconf CLK_TCK)"

work="$(mktemp -d /tmp/service-figures-XXXXXX)"
source tools/lib/quarnel_harness.sh
cleanup() { quarnel_stop; rm -rf "$work"; }
trap cleanup EXIT
quarnel_prepare_root
quarnel_start
quarnel_wait_frames

client_pids=()
for ((c = 1; c <= clients; c++)); do
  "$build/tools/camera_client/camera_client" --address 127.0.0.1 --port "$port" --seconds "$seconds" \
    --out "$work/out$c" --png-every 1000000 > "$work/client$c.txt" 2>&1 &
  client_pids+=($!)
done

start_ticks="$(quarnel_cpu_ticks)"
start_time="$(date +%s.%N)"
profiler_pid=""
if [ "${PROFILE:-0}" = 1 ]; then
  perf record -q -g -F 999 -p "$service_pid" -o "$work/perf.data" -- sleep "$seconds" 2> "$work/perf.txt" &
  profiler_pid=$!
fi
run_until="$(($(date +%s) + seconds))"
rss_start="$(quarnel_rss_kb)"
rss_max="$rss_start"
rss_end="$rss_start"
running() {
  [ "$clients" -gt 0 ] || { [ "$(date +%s)" -lt "$run_until" ]; return; }
  for pid in "${client_pids[@]}"; do kill -0 "$pid" 2>/dev/null && return 0; done
  return 1
}
while running; do
  sleep 1
  rss_end="$(quarnel_rss_kb)"
  [ "$rss_end" -le "$rss_max" ] || rss_max="$rss_end"
done
end_ticks="$(quarnel_cpu_ticks)"
end_time="$(date +%s.%N)"

client_status=0
for pid in "${client_pids[@]}"; do wait "$pid" || client_status=1; done
if [ -n "$profiler_pid" ]; then
  wait "$profiler_pid" || true
  for order in comm dso sym; do
    echo "quarnel samples by $order:"
    perf report -q -i "$work/perf.data" -g none --no-children --sort "$order" --percent-limit 1.5 2>/dev/null |
      awk 'NF { print "  " $0 }' | head -25
  done
  [ -z "${KEEP_PERF:-}" ] || cp "$work/perf.data" "$KEEP_PERF"
fi

awk -v t="$((end_ticks - start_ticks))" -v hz="$ticks_per_second" -v a="$start_time" -v b="$end_time" -v n="$clients" \
  'BEGIN { printf "quarnel cpu=%.1f%% of one core over %.1f s, streaming to %d clients\n", 100 * t / hz / (b - a), b - a, n }'
echo "quarnel rss_kb start=$rss_start max=$rss_max end=$rss_end"
for ((c = 1; c <= clients; c++)); do
  grep -E '^(colour|disparity|latency) ' "$work/client$c.txt" | sed "s/^/client$c /" || echo "client$c printed no summary"
done
exit "$client_status"

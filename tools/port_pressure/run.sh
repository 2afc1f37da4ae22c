#!/usr/bin/env bash
# The camera's ports under quiet, stalled and vanished peers, with their figures. quarnel runs on
# the simulated camera (tools/lib/quarnel_harness.sh); the peers are port_probe and camera_client.
#  1. idle: eight connections that never ask for the stream held on each image port (quarnel
#     keeps them); a new client on each port meanwhile: when its first colour and disparity
#     images come.
#  2. partial heads: 1,100 control connections that send five bytes of a head and stall: a version
#     request at once and 6 s later, and quarnel's resident memory before, during and after.
#  3. floods: start and stop requests on an image port for 10 s, and a client that asks for the
#     stream and never reads for 20 s: the log lines quarnel wrote meanwhile (and in 10 s without
#     any peer, for comparison).
#  4. discovery: discovery datagrams sent to the discovery port as fast as they go for 10 s: the log
#     lines quarnel wrote meanwhile, and the discovery lines among them.
#  5. link down: quarnel inside a network namespace of its own (unshare -rn); eight clients in a
#     second namespace behind a veth pair stream from it, then the pair's link goes down: how long
#     until quarnel has no connection left on that port (its bound: no byte acknowledged or taken
#     for 10 s).
#  6. descriptors: quarnel under a descriptor limit of 1024 (soft and hard, as `ulimit -n 1024`
#     sets it), started alone and then under vastrel, which passes the limit on. 1,100 control
#     connections that each made one request are held; at 5 s and 30 s a new client's version
#     request and a new stream client on each image port: their answer time and first images.
#     Then the same with 1,100 connections on each image port that sent a stream start and stop.
#  7. quiet: the library's own image client (QELTMConnectZUQ) makes its first control request and
#     its stream start 8 s and 40 s after connecting, and a raw control connection its first
#     request 30 s after connecting.
#  8. session: one control connection asks every 5 s for 50 s; from 10 s on 1,100 connections that
#     send nothing, from 20 s on 1,100 that made one request, are held on the control port.
#   tools/port_pressure/run.sh [idle|partial|floods|discovery|linkdown|descriptors|quiet|session ...]
#   (default all; needs build/plain, or VARIANT=address)
set -euo pipefail
cd "$(dirname "$0")/../.."

build="$PWD/build/${VARIANT:-plain}"
probe="$build/tools/port_pressure/port_probe"
port=9260
heartbeat_port=9270
daemon_port=9271
norb_port=$port
yrd_port=$((port + 1))
control_port=$((port + 2))
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(idle partial floods discovery linkdown descriptors quiet session)
descriptor_limit=1024
flood_connections=1100

work="$(mktemp -d /tmp/port-pressure-XXXXXX)"
source tools/lib/quarnel_harness.sh
cleanup() {
  quarnel_stop
  jobs -p | xargs -r kill 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
quarnel_prepare_root

log_lines() { wc -l < "$work/quarnel.log"; }
log_bytes() { wc -c < "$work/quarnel.log"; }
# The network library's lines (tag "[QELTM]") and all of quarnel's output since line $1 + 1.
lines_since() {
  echo "log lines written=$(tail -n +$(($1 + 1)) "$work/quarnel.log" | grep -c '\[QELTM\] ' || true) by the" \
    "network library, $(($(log_lines) - $1)) in all, bytes=$(($(log_bytes) - $2))"
}

idle() {
  quarnel_start
  quarnel_wait_frames
  "$probe" hold 127.0.0.1 "$norb_port" 8 idle 8 > "$work/hold-norb.txt" &
  local holders=($!)
  "$probe" hold 127.0.0.1 "$yrd_port" 8 idle 8 > "$work/hold-yrd.txt" &
  holders+=($!)
  sleep 1
  echo "idle: $(cat "$work/hold-norb.txt") on the NORB port, $(cat "$work/hold-yrd.txt") on the YRD port"
  for p in "$norb_port" "$yrd_port"; do echo "idle: $("$probe" stream 127.0.0.1 "$p" 3 || true)"; done
  wait "${holders[@]}" || true
  quarnel_stop
}

partial() {
  quarnel_start
  quarnel_wait_frames
  local rss_before rss_during rss_later
  rss_before="$(quarnel_rss_kb)"
  "$probe" hold 127.0.0.1 "$control_port" 1100 partial 12 > "$work/hold-control.txt" &
  local holder=$!
  until [ -s "$work/hold-control.txt" ]; do sleep 0.1; done
  echo "partial: $(cat "$work/hold-control.txt")"
  echo "partial: at once: $("$probe" version 127.0.0.1 "$control_port" || true)"
  rss_during="$(quarnel_rss_kb)"
  sleep 6
  rss_later="$(quarnel_rss_kb)"
  echo "partial: 6 s later: $("$probe" version 127.0.0.1 "$control_port" || true)"
  wait "$holder" || true
  sleep 1
  echo "partial: rss_kb before=$rss_before during=$rss_during 6s_later=$rss_later after=$(quarnel_rss_kb)"
  echo "partial: stalled connections closed by quarnel: $(grep -c 'left a request incomplete\|made no request' "$work/quarnel.log" || true) lines, $(grep -c 'Server full' "$work/quarnel.log" || true) full-table lines (rate-limited)"
  quarnel_stop
}

floods() {
  quarnel_start
  quarnel_wait_frames
  local lines bytes
  lines="$(log_lines)"; bytes="$(log_bytes)"
  sleep 10
  echo "floods: no peer for 10 s: $(lines_since "$lines" "$bytes")"
  lines="$(log_lines)"; bytes="$(log_bytes)"
  echo "floods: $("$probe" flood 127.0.0.1 "$yrd_port" 10)"
  sleep 1.5  # the counts of lines left out are written once their second is over
  echo "floods: $(lines_since "$lines" "$bytes")"
  lines="$(log_lines)"; bytes="$(log_bytes)"
  echo "floods: $("$probe" zero-window 127.0.0.1 "$yrd_port" 20)"
  sleep 1.5
  echo "floods: $(lines_since "$lines" "$bytes")" \
    "(\"Send Image too slow\": $(tail -n +$((lines + 1)) "$work/quarnel.log" | grep -c 'Send Image too slow' || true))"
  quarnel_stop
}

discovery() {
  quarnel_start
  quarnel_wait_frames
  local lines bytes
  lines="$(log_lines)"; bytes="$(log_bytes)"
  echo "discovery: $("$probe" discovery 127.0.0.1 $((port + 3)) 10)"
  sleep 1.5  # the counts of lines left out are written once their second is over
  echo "discovery: $(lines_since "$lines" "$bytes");" \
    "discovery lines=$(tail -n +$((lines + 1)) "$work/quarnel.log" | grep -c 'discovery\|Broadcast send ack' || true)"
  quarnel_stop
}

# What a newcomer gets while a flood is held: a version request and a stream client on each image
# port, at 5 s and 30 s from the flood's start.
newcomer_figures() {
  local flood_start="$1" at
  for at in 5 30; do
    sleep "$(awk -v s="$flood_start" -v a="$at" -v n="$(date +%s.%N)" 'BEGIN { d = s + a - n; print (d > 0 ? d : 0) }')"
    echo "descriptors:   at ${at} s: $("$probe" version 127.0.0.1 "$control_port" || true)"
    "$probe" stream 127.0.0.1 "$norb_port" 3 > "$work/stream-norb.txt" || true &
    "$probe" stream 127.0.0.1 "$yrd_port" 3 > "$work/stream-yrd.txt" || true
    wait $!
    echo "descriptors:   at ${at} s: $(cat "$work/stream-norb.txt")"
    echo "descriptors:   at ${at} s: $(cat "$work/stream-yrd.txt")"
  done
}

# One start mode ("alone" or "vastrel") under the descriptor limit: both floods, one after another.
descriptors_mode() {
  local mode="$1" holders flood_start
  if [ "$mode" = vastrel ]; then
    quarnel_start_under_vastrel prlimit --nofile="$descriptor_limit:$descriptor_limit"
  else
    quarnel_start prlimit --nofile="$descriptor_limit:$descriptor_limit"
  fi
  quarnel_wait_frames
  echo "descriptors: quarnel $mode, $(awk '/^Max open files/ { print "limit soft=" $4 " hard=" $5 }' "/proc/$service_pid/limits");" \
    "$(grep -o 'Descriptor limit .*' "$work/quarnel.log" | head -1)"
  for flood in control image; do
    flood_start="$(date +%s.%N)"
    if [ "$flood" = control ]; then
      "$probe" hold 127.0.0.1 "$control_port" "$flood_connections" request 40 > "$work/hold-1.txt" &
      holders=($!)
    else
      "$probe" hold 127.0.0.1 "$norb_port" "$flood_connections" startstop 40 > "$work/hold-1.txt" &
      holders=($!)
      "$probe" hold 127.0.0.1 "$yrd_port" "$flood_connections" startstop 40 > "$work/hold-2.txt" &
      holders+=($!)
    fi
    for f in "${!holders[@]}"; do until [ -s "$work/hold-$((f + 1)).txt" ]; do sleep 0.1; done; done
    echo "descriptors: $flood flood: $(cat "$work"/hold-*.txt | tr '\n' ' ')"
    newcomer_figures "$flood_start"
    echo "descriptors:   quarnel's open descriptors=$(ls "/proc/$service_pid/fd" | wc -l); since its start:" \
      "connections closed to make room: $(grep -c 'close its quietest client' "$work/quarnel.log" || true) lines" \
      "(rate-limited), accept failures: $(grep -c 'Accept failed' "$work/quarnel.log" || true) lines," \
      "restarts by vastrel: $(vastrel_restarts)"
    kill "${holders[@]}" 2>/dev/null || true
    wait "${holders[@]}" 2>/dev/null || true
    rm -f "$work"/hold-*.txt
    sleep 1
  done
  quarnel_stop
}

descriptors() {
  descriptors_mode alone
  descriptors_mode vastrel
}

quiet() {
  quarnel_start
  quarnel_wait_frames
  "$probe" zuq 127.0.0.1 "$port" 8 > "$work/zuq-8.txt" 2>&1 &
  local probes=($!)
  "$probe" zuq 127.0.0.1 "$port" 40 > "$work/zuq-40.txt" 2>&1 &
  probes+=($!)
  "$probe" version 127.0.0.1 "$control_port" 30 > "$work/raw-30.txt" 2>&1 &
  probes+=($!)
  wait "${probes[@]}" || true
  echo "quiet: $(cat "$work/zuq-8.txt")"
  echo "quiet: $(cat "$work/zuq-40.txt")"
  echo "quiet: raw control connection: $(cat "$work/raw-30.txt")"
  quarnel_stop
}

session() {
  quarnel_start prlimit --nofile="$descriptor_limit:$descriptor_limit"
  quarnel_wait_frames
  "$probe" session 127.0.0.1 "$control_port" 5 50 > "$work/session.txt" &
  local session_pid=$!
  sleep 10
  "$probe" hold 127.0.0.1 "$control_port" "$flood_connections" idle 40 > "$work/hold-idle.txt" &
  local holders=($!)
  sleep 10
  "$probe" hold 127.0.0.1 "$control_port" "$flood_connections" request 30 > "$work/hold-request.txt" &
  holders+=($!)
  wait "$session_pid" || true
  wait "${holders[@]}" || true
  echo "session: $(cat "$work/hold-idle.txt") from 10 s; $(cat "$work/hold-request.txt") from 20 s"
  echo "session: $(cat "$work/session.txt" | tr '\n' ' ')"
  echo "session: connections closed to make room: $(grep -c 'close its quietest client' "$work/quarnel.log" || true) lines (rate-limited)"
  quarnel_stop
}

# The link-down part runs inside `unshare -rn`: quarnel on veth0 (10.77.0.1), the clients in an
# inner namespace on veth1 (10.77.0.2).
linkdown_inside() {
  ip link set lo up
  unshare -n sleep 600 &
  local inner=$!
  sleep 0.3
  ip link add veth0 type veth peer name veth1
  ip link set veth1 netns "$inner"
  ip addr add 10.77.0.1/24 dev veth0
  ip link set veth0 up
  nsenter -t "$inner" -n sh -c 'ip link set lo up && ip addr add 10.77.0.2/24 dev veth1 && ip link set veth1 up'
  quarnel_start
  quarnel_wait_frames
  local c
  for ((c = 1; c <= 8; c++)); do
    nsenter -t "$inner" -n "$probe" stream 10.77.0.1 "$yrd_port" 120 > "$work/link-$c.txt" &
  done
  local established=0
  for ((c = 0; c < 100 && established < 8; c++)); do
    sleep 0.1
    established="$(ss -Htn state established "( sport = :$yrd_port )" | wc -l)"
  done
  sleep 2  # they stream
  echo "linkdown: $established clients streaming from 10.77.0.1:$yrd_port; the link goes down"
  local down
  down="$(date +%s.%N)"
  nsenter -t "$inner" -n ip link set veth1 down
  local left=$established
  while [ "$left" -gt 0 ]; do
    sleep 0.2
    left="$(ss -Htn state established "( sport = :$yrd_port )" | wc -l)"
    if awk -v a="$down" -v b="$(date +%s.%N)" 'BEGIN { exit !(b - a > 120) }'; then break; fi
  done
  echo "linkdown: connections left=$left after $(awk -v a="$down" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
  echo "linkdown: $("$probe" stream 127.0.0.1 "$yrd_port" 3 || true) (a new client once the places are free)"
  quarnel_stop
  kill "$inner" 2>/dev/null || true
}

for part in "${parts[@]}"; do
  case "$part" in
    idle) idle ;;
    partial) partial ;;
    floods) floods ;;
    discovery) discovery ;;
    descriptors) descriptors ;;
    quiet) quiet ;;
    session) session ;;
    linkdown)
      if unshare -rn true 2>/dev/null; then
        build="$build" work="$work" probe="$probe" port="$port" heartbeat_port="$heartbeat_port" \
          daemon_port="$daemon_port" yrd_port="$yrd_port" \
          unshare -rn bash -c "source tools/lib/quarnel_harness.sh; $(declare -f linkdown_inside); linkdown_inside"
      else
        echo "linkdown: unshare -rn is not permitted here"
      fi
      ;;
    *) echo "unknown part $part" >&2; exit 2 ;;
  esac
done

#!/usr/bin/env bash
# The camera's ports under quiet, stalled and vanished peers, with their figures. quarnel runs on
# the simulated camera (tools/lib/quarnel_harness.sh); the peers are port_probe and camera_client.
#  1. idle: eight connections that never ask for the stream held on each image port (quarnel
#     closes them after 5 s); a new client on each port meanwhile: when its first colour and
#     disparity images come.
#  2. partial heads: 1,100 control connections that send five bytes of a head and stall: a version
#     request at once and 6 s later, and quarnel's resident memory before, during and after.
#  3. floods: start and stop requests on an image port for 10 s, and a client that asks for the
#     stream and never reads for 20 s: the log lines quarnel wrote meanwhile (and in 10 s without
#     any peer, for comparison).
#  discovery: discovery datagrams sent to the discovery port as fast as they go for 10 s: the log
#     lines quarnel wrote meanwhile, and the discovery lines among them.
#  4. link down: quarnel inside a network namespace of its own (unshare -rn); eight clients in a
#     second namespace behind a veth pair stream from it, then the pair's link goes down: how long
#     until quarnel has no connection left on that port (its bound: no byte acknowledged or taken
#     for 10 s).
#   tools/port_pressure/run.sh [idle|partial|floods|discovery|linkdown ...]   (default all; needs
#   build/plain, or VARIANT=address)
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
[ ${#parts[@]} -gt 0 ] || parts=(idle partial floods discovery linkdown)

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

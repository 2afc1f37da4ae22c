#!/usr/bin/env bash
# Bursts of control requests against the camera, with figures:
#  stream: quarnel alone on the simulated camera (shipped configuration, only the ports changed): a
#     client streams for 40 s; the heartbeat intervals over that time, the first one included.
#  burst: N simultaneous disparity-shift requests (204; default 60) of +1 tenth each, while version
#     requests go out one every 0.1 s from 0.3 s after the burst for 3 s: the 204 replies, each
#     version request's time (client start to exit, so a process start of some 30 ms is included),
#     the heartbeat gaps around the burst, and the shift_offset saved against the largest reply
#     value (the last one served).
#  watched: quarnel under vastrel (shipped configurations: heartbeat every 5 s, check period 10 s):
#     M simultaneous 204 requests (default 120) with version requests beside them as in burst, then
#     two check periods: vastrel's restart actions and quarnel's heartbeat gaps.
#  joined: quarnel under vastrel as in watched: one connection makes W writes (default 3) of J
#     joined set-time requests (command 6; default 2000) back to back, each of which runs the clock
#     command (the board root's fake date only logs its call), while version requests go out one
#     every 0.1 s on other connections until every set-time reply is in; then one check period:
#     the set-time replies (all answered, in order), the version requests' times, vastrel's restart
#     actions and quarnel's heartbeat gaps, the largest among them.
#   tools/shift_burst/run.sh [--build DIR] [--burst N] [--watched-burst M] [--joined J] [--writes W]
#                            [--keep] [stream|burst|watched|joined ...]   (default: all four)
# --keep: keep the work folder (board roots, logs) for inspection.
set -euo pipefail
cd "$(dirname "$0")/../.."

build="$PWD/build/plain"
burst=60
watched_burst=120
joined=2000
writes=3
keep=0
parts=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$(cd "$2" && pwd)"; shift 2 ;;
    --burst) burst="$2"; shift 2 ;;
    --watched-burst) watched_burst="$2"; shift 2 ;;
    --joined) joined="$2"; shift 2 ;;
    --writes) writes="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    stream|burst|watched|joined) parts+=("$1"); shift ;;
    *) echo "usage: $0 [--build DIR] [--burst N] [--watched-burst M] [--joined J] [--writes W] [--keep]" \
            "[stream|burst|watched|joined ...]" >&2; exit 2 ;;
  esac
done
[ ${#parts[@]} -gt 0 ] || parts=(stream burst watched joined)
readonly stream_seconds=40 version_delay_s=0.3 version_every_s=0.1 version_requests=30
readonly set_time_seconds=946684800  # 2000-01-01, far from any real clock
probe="$build/tools/control_probe/control_probe"
client="$build/tools/camera_client/camera_client"
for program in "$probe" "$client" "$build/service/quarnel" "$build/watchdog/vastrel"; do
  [ -x "$program" ] || { echo "shift_burst: $program is not built" >&2; exit 1; }
done

port=$((20000 + RANDOM % 12000))
heartbeat_port=$((port + 4))
daemon_port=$((port + 5))
work="$(mktemp -d /tmp/shift-burst-XXXXXX)"
vastrel_pid=""
source tools/lib/quarnel_harness.sh
cleanup() {
  quarnel_stop
  if [ -n "$vastrel_pid" ]; then kill -9 -- "-$vastrel_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  if [ "$keep" = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

now() { date +%s.%N; }
# Seconds of the day of each heartbeat line of a service log from time $2 (seconds of the day) on.
heartbeat_times() {
  awk -v from="${2:-0}" '/\] .* Heartbeat: / { split($2, t, ":"); s = t[1] * 3600 + t[2] * 60 + t[3]; if (s >= from) print s }' "$1"
}
# The intervals between successive times on standard input, and their largest.
intervals() {
  awk 'NR > 1 { d = $1 - last; printf "%.2f ", d; if (d > worst) worst = d } { last = $1 }
       END { printf "\nlargest=%.2f count=%d\n", worst, (NR > 1 ? NR - 1 : 0) }'
}
day_seconds() { date +%H:%M:%S.%N | awk -F: '{ printf "%.3f", $1 * 3600 + $2 * 60 + $3 }'; }
reply_word() { awk -v n="$2" '/^reply of/ { print $(n + 4) }' "$1"; }  # word n (1 = kind) of a reply

# N simultaneous 204 requests of +1 tenth to control port $2, results in folder $3; their process
# ids in burst_pids.
burst_pids=()
shift_burst() {
  local count="$1" control_port="$2" folder="$3" i
  mkdir -p "$folder"
  burst_pids=()
  for ((i = 0; i < count; i++)); do
    ("$probe" 127.0.0.1 "$control_port" 1 204 4 1 > "$folder/reply.$i" 2> /dev/null || true
     now > "$folder/end.$i") &
    burst_pids+=($!)
  done
}
# Seconds from $2 (a time of now) until the last request of the burst in folder $1 had its reply.
burst_seconds() { cat "$1"/end.* | awk -v a="$2" '{ if ($1 - a > worst) worst = $1 - a } END { printf "%.2f", worst }'; }
# Version requests to base port $1, one every 0.1 s from 0.3 s on, 30 of them or, with a process id
# $2, until that process has ended; their times in version_times.
version_times=()
version_requests_beside() {
  local r s
  sleep "$version_delay_s"
  version_times=()
  for ((r = 0; ; r++)); do
    if [ -n "${2:-}" ]; then kill -0 "$2" 2>/dev/null || break; elif [ "$r" -ge "$version_requests" ]; then break; fi
    s="$(now)"
    if "$probe" 127.0.0.1 $(($1 + 2)) 1 1 0 > /dev/null 2>&1; then
      version_times+=("$(awk -v a="$s" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')")
    else
      version_times+=(failed)
    fi
    sleep "$version_every_s"
  done
}
# The shift_offset in the user configuration of board root $1.
saved_offset() {
  grep -o 'name=shift_offset type=double value=[^>]*' "$1/system/etc/user_video_stereo_server_configuration.xml" |
    sed 's/.*value=/shift_offset=/'
}
# Summary of a burst's replies in folder $1: how many answered, refused, and the largest value.
burst_summary() {
  local answered=0 refused=0 largest=0 file result value
  for file in "$1"/reply.*; do
    result="$(reply_word "$file" 3)"
    [ -n "$result" ] || continue
    answered=$((answered + 1))
    [ "$result" = 00000000 ] || refused=$((refused + 1))
    value=$((16#$(reply_word "$file" 5)))
    [ "$value" -le "$largest" ] || largest="$value"
  done
  echo "answered=$answered refused=$refused largest_value=$largest"
}

# Count, median and largest of the times on standard input ("failed" counts as failed=N).
time_summary() {
  sort -n | awk '$1 == "failed" { f++; next } { t[n++] = $1 }
    END { printf "count=%d median=%.3f largest=%.3f failed=%d", n, (n ? t[int((n - 1) / 2)] : 0), (n ? t[n - 1] : 0), f }'
}

# Lays out a board root at $1 with both programs' shipped configurations (only the ports changed)
# and starts vastrel from it, which starts quarnel; returns once vastrel has heard quarnel for 5 s.
# vastrel's output goes to $1.vastrel.out; check_period holds its check period in seconds.
watched_start() {
  local root="$1" service_file daemon_file i
  board/make-root/make-root "$root" \
    service/config/default_video_stereo_server_configuration.xml=/system/etc/default_video_stereo_server_configuration.xml \
    board/sim_module/data/sim_module_calibration.yml=/system/etc/sim_module_calibration.yml \
    board/camera_hal/data/sim_camera.conf=/system/etc/sim_camera.conf \
    watchdog/config/default_video_stereo_daemon_configuration.xml=/etc/default_video_stereo_daemon_configuration.xml
  install -m 0755 "$build/service/quarnel" "$root/system/bin/quarnel"
  service_file="$root/system/etc/default_video_stereo_server_configuration.xml"
  daemon_file="$root/etc/default_video_stereo_daemon_configuration.xml"
  set_record "$service_file" server_port "$port"
  set_record "$service_file" local_heartbeat_socket_port "$heartbeat_port"
  set_record "$service_file" daemon_listen_socket_port "$daemon_port"
  set_record "$daemon_file" daemon_listen_socket_port "$daemon_port"
  check_period="$(sed -n 's/.*name=check_period type=integer value=\([0-9]*\).*/\1/p' "$daemon_file")"
  mkdir -p "$root.run"
  (cd "$root.run" && BOARD_ROOT="$root" exec setsid "$build/watchdog/vastrel" > "$root.vastrel.out" 2>&1) &
  vastrel_pid=$!
  for ((i = 0; i < 600 && $(heard "$root") == 0; i++)); do sleep 0.1; done
  [ "$(heard "$root")" -gt 0 ] || { echo "shift_burst: vastrel never heard quarnel" >&2; exit 1; }
  sleep 5
}
set_record() { sed -i "s|<record name=$2 \(type=[a-z]*\) value=[^>]*>|<record name=$2 \1 value=$3>|" "$1"; }
heard() { grep -c "DaemonServer::UpdateProcess, ProcessName=quarnel, NextTimeoutTime=" "$1.vastrel.out" || true; }
watched_stop() {
  if [ -n "$vastrel_pid" ]; then kill -9 -- "-$vastrel_pid" 2>/dev/null || true; wait "$vastrel_pid" 2>/dev/null || true; fi
  vastrel_pid=""
}
# vastrel's restart actions and starts in board root $1 so far.
restarts() {
  echo "restart_actions=$(grep -c 'kill_command=killall -9 quarnel' "$1.vastrel.out" || true)" \
       "starts=$(grep -c 'run_command=' "$1.vastrel.out" || true)"
}

# Heartbeats while a client streams; quarnel keeps running for the burst part.
part_stream() {
  quarnel_prepare_root
  quarnel_start
  quarnel_wait_frames
  "$client" --address 127.0.0.1 --port "$port" --seconds "$stream_seconds" --out "$work/out" --png-every 1000000 \
    > "$work/stream.txt" 2>&1
  echo "stream: $(grep -E '^(colour|disparity) frames' "$work/stream.txt" | tr '\n' ' ')"
  echo "heartbeat intervals (s) from the first one, over start-up and the ${stream_seconds} s stream:"
  heartbeat_times "$work/root/data/log/qelt.log" | intervals | sed 's/^/  /'
}

# A burst of 204 requests beside version requests.
part_burst() {
  if [ -z "$service_pid" ]; then
    quarnel_prepare_root
    quarnel_start
    quarnel_wait_frames
  fi
  local log="$work/root/data/log/qelt.log" burst_start started
  burst_start="$(day_seconds)"
  started="$(now)"
  shift_burst "$burst" $((port + 2)) "$work/burst"
  version_requests_beside "$port"
  wait "${burst_pids[@]}" || true
  sleep 15  # heartbeats after the burst
  echo "burst of $burst: $(burst_summary "$work/burst") (the last reply $(burst_seconds "$work/burst" "$started") s after the burst began)"
  echo "burst of $burst: version requests, seconds each: $(printf '%s\n' "${version_times[@]}" | sort -n | tr '\n' ' ')"
  echo "burst of $burst: saved $(saved_offset "$work/root")"
  echo "burst of $burst: heartbeat intervals (s) from 10 s before the burst to 15 s after:"
  heartbeat_times "$log" "$(awk -v s="$burst_start" 'BEGIN { print s - 10 }')" | intervals | sed 's/^/  /'
}

# A larger burst under the watchdog.
part_watched() {
  local root="$work/watched" watched_start watched_started
  watched_start "$root"
  watched_start="$(day_seconds)"
  watched_started="$(now)"
  shift_burst "$watched_burst" $((port + 2)) "$work/watched-burst"
  version_requests_beside "$port"
  wait "${burst_pids[@]}" || true
  sleep $((2 * check_period))
  echo "under vastrel, burst of $watched_burst: $(burst_summary "$work/watched-burst")" \
       "(the last reply $(burst_seconds "$work/watched-burst" "$watched_started") s after the burst began)"
  echo "under vastrel: saved $(saved_offset "$root")"
  echo "under vastrel: version requests, seconds each: $(printf '%s\n' "${version_times[@]}" | sort -n | tr '\n' ' ')"
  echo "under vastrel: $(restarts "$root") over the burst and $((2 * check_period)) s after"
  echo "under vastrel: quarnel's heartbeat intervals (s) from 10 s before the burst:"
  heartbeat_times "$root/data/log/qelt.log" "$(awk -v s="$watched_start" 'BEGIN { print s - 10 }')" | intervals | sed 's/^/  /'
  watched_stop
}

# Joined set-time requests on one connection under the watchdog, version requests beside them.
part_joined() {
  local root="$work/joined" joined_start before joined_pid idle_times
  watched_start "$root"
  version_requests_beside "$port"  # for comparison: the same requests with nothing else to serve
  idle_times="$(printf '%s\n' "${version_times[@]}" | time_summary)"
  before="$(restarts "$root")"
  joined_start="$(day_seconds)"
  "$probe" --joined "$joined" --writes "$writes" --sequence 3 127.0.0.1 $((port + 2)) 1 6 12 0 "$set_time_seconds" 0 \
    > "$work/joined.txt" 2>&1 &
  joined_pid=$!
  version_requests_beside "$port" "$joined_pid"
  wait "$joined_pid" || true
  sleep "$check_period"
  echo "under vastrel, $writes writes of $joined joined set-time requests: $(cat "$work/joined.txt")"
  echo "under vastrel: clock commands run=$(grep -c '^date ' "$root/fake-calls.log" || true)"
  echo "under vastrel: version requests (client start to exit), seconds: before the burst $idle_times;" \
       "during it $(printf '%s\n' "${version_times[@]}" | time_summary)"
  echo "under vastrel: before the burst $before; after it and $check_period s more $(restarts "$root")"
  echo "under vastrel: quarnel's heartbeat intervals (s) from 10 s before the burst:"
  heartbeat_times "$root/data/log/qelt.log" "$(awk -v s="$joined_start" 'BEGIN { print s - 10 }')" | intervals |
    sed 's/^/  /'
  watched_stop
}

for part in "${parts[@]}"; do
  case "$part" in
    stream) part_stream ;;
    burst) part_burst; quarnel_stop ;;
    watched) quarnel_stop; part_watched ;;
    joined) quarnel_stop; part_joined ;;
  esac
done

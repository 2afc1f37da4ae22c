# Shared by the figure scripts that run the depth service on the simulated camera: a board
# root with the shipped configuration (only the ports changed), quarnel started from it, and the
# waits until it serves and until frames flow. Source it from the repository root after setting
#   build   the build folder (e.g. "$PWD/build/plain")
#   work    a scratch folder the caller removes
#   port heartbeat_port daemon_port   the service's base server port and its heartbeat ports
# The caller's exit trap should call quarnel_stop. quarnel_start runs quarnel alone,
# quarnel_start_under_vastrel under its watchdog as on the board.

quarnel_config_name=default_video_stereo_server_configuration.xml
vastrel_config_name=default_video_stereo_daemon_configuration.xml
quarnel_serving_wait_seconds=60
quarnel_frames_wait_seconds=30
service_pid=""
vastrel_pid=""

# Writes the board root under $work/root.
quarnel_prepare_root() {
  local config="$work/$quarnel_config_name" key value
  cp "service/config/$quarnel_config_name" "$config"
  for key in server_port local_heartbeat_socket_port daemon_listen_socket_port; do
    case "$key" in
      server_port) value="$port" ;;
      local_heartbeat_socket_port) value="$heartbeat_port" ;;
      *) value="$daemon_port" ;;
    esac
    sed -i "s|<record name=$key type=\([a-z]*\) value=[^>]*>|<record name=$key type=\1 value=$value>|" "$config"
  done
  board/make-root/make-root "$work/root" "$config=/system/etc/$quarnel_config_name" \
    board/sim_module/data/sim_module_calibration.yml=/system/etc/sim_module_calibration.yml \
    board/camera_hal/data/sim_camera.conf=/system/etc/sim_camera.conf
}

quarnel_listening() { [ -n "$(ss -Hltn "sport = :$1")" ]; }

# Starts quarnel with the given command in front (e.g. a descriptor limit), its output in
# $work/quarnel.log, and waits until its three TCP servers listen.
quarnel_start() {
  BOARD_ROOT="$work/root" "$@" "$build/service/quarnel" > "$work/quarnel.log" 2>&1 &
  service_pid=$!
  local i
  for ((i = 0; i < quarnel_serving_wait_seconds * 10; i++)); do
    kill -0 "$service_pid" || { echo "quarnel ended; its log:" >&2; cat "$work/quarnel.log" >&2; exit 1; }
    quarnel_listening "$port" && quarnel_listening $((port + 1)) && quarnel_listening $((port + 2)) && return 0
    sleep 0.1
  done
  echo "quarnel does not serve" >&2
  exit 1
}

# Waits until a client receives images: the camera starts after the servers listen, and figures
# taken before would count its start-up.
quarnel_wait_frames() {
  local end=$(($(date +%s) + quarnel_frames_wait_seconds))
  while [ "$(date +%s)" -lt "$end" ]; do
    "$build/tools/camera_client/camera_client" --address 127.0.0.1 --port "$port" --seconds 1 \
      --out "$work/probe" --png-every 1000000 > "$work/probe.txt" 2>&1 || true
    grep -Eq '^disparity frames=[1-9]' "$work/probe.txt" && return 0
  done
  echo "quarnel sends no frames" >&2
  exit 1
}

# Starts vastrel on the board root with the given command in front (e.g. a descriptor limit that
# it passes on), in a session of its own; vastrel starts quarnel as on the board, with its output
# in $work/quarnel.log beside vastrel's. Waits until quarnel's three TCP servers listen; then
# service_pid is quarnel's.
quarnel_start_under_vastrel() {
  local root="$work/root" i pid
  local daemon_file="$root/etc/$vastrel_config_name"
  mkdir -p "$root/etc" "$root/system/bin" "$work/run"
  sed "s|<record name=daemon_listen_socket_port type=integer value=[^>]*>|<record name=daemon_listen_socket_port type=integer value=$daemon_port>|" \
    "watchdog/config/$vastrel_config_name" > "$daemon_file"
  install -m 0755 "$build/service/quarnel" "$root/system/bin/quarnel"
  (cd "$work/run" && BOARD_ROOT="$root" exec "$@" setsid "$build/watchdog/vastrel" > "$work/quarnel.log" 2>&1) &
  vastrel_pid=$!
  for ((i = 0; i < quarnel_serving_wait_seconds * 10; i++)); do
    kill -0 "$vastrel_pid" || { echo "vastrel ended; its log:" >&2; cat "$work/quarnel.log" >&2; exit 1; }
    for pid in $(pgrep -x quarnel || true); do
      [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$root/system/bin/quarnel" ] && service_pid="$pid"
    done
    if [ -n "$service_pid" ] && quarnel_listening "$port" && quarnel_listening $((port + 1)) &&
       quarnel_listening $((port + 2)); then
      return 0
    fi
    sleep 0.1
  done
  echo "quarnel does not serve under vastrel" >&2
  exit 1
}

# Restarts of quarnel by vastrel so far (a kill by name before each).
vastrel_restarts() { grep -c "DaemonServer::Reboot, kill_command=" "$work/quarnel.log" || true; }

quarnel_stop() {
  if [ -n "$vastrel_pid" ]; then
    kill -9 -- "-$vastrel_pid" 2>/dev/null || true
    wait "$vastrel_pid" 2>/dev/null || true
    vastrel_pid=""
  elif [ -n "$service_pid" ]; then
    kill -TERM "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  service_pid=""
}

# quarnel's CPU time (user + system) in clock ticks, and its resident memory in kB.
quarnel_cpu_ticks() { sed 's/.*) //' "/proc/$service_pid/stat" | awk '{ print $12 + $13 }'; }
quarnel_rss_kb() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$service_pid/status"; }

# Shared by the figure scripts that run the depth service alone on the simulated camera: a board
# root with the shipped configuration (only the ports changed), quarnel started from it, and the
# waits until it serves and until frames flow. Source it from the repository root after setting
#   build   the build folder (e.g. "$PWD/build/plain")
#   work    a scratch folder the caller removes
#   port heartbeat_port daemon_port   the service's base server port and its heartbeat ports
# The caller's exit trap should call quarnel_stop.

quarnel_config_name=default_video_stereo_server_configuration.xml
quarnel_serving_wait_seconds=60
quarnel_frames_wait_seconds=30
service_pid=""

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

quarnel_stop() {
  [ -z "$service_pid" ] || { kill -TERM "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; }
  service_pid=""
}

# quarnel's CPU time (user + system) in clock ticks, and its resident memory in kB.
quarnel_cpu_ticks() { sed 's/.*) //' "/proc/$service_pid/stat" | awk '{ print $12 + $13 }'; }
quarnel_rss_kb() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$service_pid/status"; }

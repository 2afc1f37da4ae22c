#!/usr/bin/env bash
# What a person who edits the configuration meets: quarnel and vastrel are each started on a board
# root of their own with one mistake in their default file, and the lines they log about it and
# their exit status are printed as a table (exit 124: still running after the wait, so stopped).
#   tools/config_mistakes/run.sh   (needs build/plain, or VARIANT=address)
set -uo pipefail
cd "$(dirname "$0")/../.."

build="$PWD/build/${VARIANT:-plain}"
server_config=default_video_stereo_server_configuration.xml
daemon_config=default_video_stereo_daemon_configuration.xml
quarnel_seconds=20        # a refused start ends long before this
vastrel_seconds=3         # vastrel runs on when it starts; this is how long it is watched
port=9300                 # base server port of these runs (the service uses it to +3)
heartbeat_port=9310
daemon_port=9311

work="$(mktemp -d /tmp/config-mistakes-XXXXXX)"
trap 'rm -rf "$work"' EXIT

# Edits of a configuration file, the file last: set_value KEY VALUE FILE, set_type KEY TYPE FILE,
# drop_key KEY FILE.
set_value() { sed -i "s|<record name=$1 type=\([A-Za-z]*\) value=[^>]*>|<record name=$1 type=\1 value=$2>|" "$3"; }
set_type() { sed -i "s|<record name=$1 type=[a-z]* |<record name=$1 type=$2 |" "$3"; }
drop_key() { sed -i "/<record name=$1 /d" "$2"; }

# The lines a run logged about its configuration, joined with " / ".
said() {
  sed 's/^[0-9-]* [0-9:.]* \[[^]]*\] //; s/\r//' "$1" |
    grep -E "^Configuration, |configuration failed|not a port number|skipped|libtessaro|sgm_init" | head -3 |
    awk 'NR > 1 { printf " / " } { printf "%s", $0 }'
}

row() { printf '| %s | %s | %s | %s |\n' "$1" "$2" "$3" "$4"; }

# run_case PROGRAM LABEL EDIT...: the shipped file with the ports of this run, the edit applied.
run_case() {
  local program="$1" label="$2"; shift 2
  local case_dir="$work/case$((++case_number))" status
  mkdir -p "$case_dir"
  if [ "$program" = quarnel ]; then
    local file="$case_dir/$server_config"
    cp "service/config/$server_config" "$file"
    set_value server_port "$port" "$file"
    set_value local_heartbeat_socket_port "$heartbeat_port" "$file"
    set_value daemon_listen_socket_port "$daemon_port" "$file"
    "$@" "$file"
    board/make-root/make-root "$case_dir/root" "$file=/system/etc/$server_config" \
      board/sim_module/data/sim_module_calibration.yml=/system/etc/sim_module_calibration.yml \
      board/camera_hal/data/sim_camera.conf=/system/etc/sim_camera.conf >/dev/null
    (cd "$case_dir/root" && BOARD_ROOT="$case_dir/root" timeout "$quarnel_seconds" "$build/service/quarnel" \
      > "$case_dir/log" 2>&1)
    status=$?
  else
    local file="$case_dir/$daemon_config"
    cp "watchdog/config/$daemon_config" "$file"
    set_value daemon_listen_socket_port "$daemon_port" "$file"
    set_value command_line /bin/true "$file"   # nothing of the camera is started
    "$@" "$file"
    board/make-root/make-root "$case_dir/root" >/dev/null
    (cd "$case_dir" && BOARD_ROOT="$case_dir/root" timeout "$vastrel_seconds" "$build/watchdog/vastrel" \
      > "$case_dir/log" 2>&1)
    status=$?
  fi
  row "$program" "$label" "$(said "$case_dir/log")" "$status"
}

echo "| program | mistake | what the log says | exit |"
echo "|---|---|---|---|"
case_number=0
run_case quarnel "vendor_name missing" drop_key vendor_name
run_case quarnel "passage_direction missing" drop_key passage_direction
run_case quarnel "shift_offset type=Double" set_type shift_offset Double
run_case quarnel "server_port of type double" set_type server_port double
run_case quarnel "window_scale 20" set_value window_scale 20
run_case quarnel "image_width -5" set_value image_width -5
run_case quarnel "path_number 0" set_value path_number 0
run_case quarnel "exposure/image_kp -1" set_value image_kp -1
run_case quarnel "server_port 70000" set_value server_port 70000
run_case quarnel "server_port 65533" set_value server_port 65533
run_case quarnel "server_port 9308 (discovery on the watchdog's 9311)" set_value server_port $((daemon_port - 3))
run_case vastrel "daemon_listen_socket_port missing" drop_key daemon_listen_socket_port
run_case vastrel "check_period type=Integer" set_type check_period Integer
run_case vastrel "daemon_listen_socket_port 70000" set_value daemon_listen_socket_port 70000
run_case vastrel "monitor_process_number -1" set_value monitor_process_number -1
run_case vastrel "check_period 4294969" set_value check_period 4294969
run_case vastrel "process1/argument missing" drop_key argument

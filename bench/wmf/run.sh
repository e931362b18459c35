#!/usr/bin/env bash
# Server CPU of the whole program (build/lumora --start, headless) against the
# tool a user would pick instead, one job against the same job: one encode to
# WMV2/ASF at 320 x 240, 15 fps, 93 Kbps (the program's row 2), served over
# HTTP. Each pair runs side by side over the same CPU_SECONDS, and the CPU
# time (not wall time) of each process is read from /proc.
#
#   test pattern, 10 viewers:  ours (its test pattern) against cvlc reading
#       raw I420 frames of ffmpeg's test source at 320 x 240, 15 fps,
#       transcoding them to WMV2 and serving them to 10 viewers (as nobody
#       when run as root: VLC refuses root);
#   test pattern, 1 viewer:    ours against `ffmpeg -re -f lavfi -i testsrc`
#       at 320 x 240, 15 fps with one `-listen 1` output (it serves one);
#   camera YUYV / MJPEG, 1 viewer: the emulated 640 x 480, 30 fps camera
#       (tools/fakecam) preloaded into both, ours against `ffmpeg -f v4l2`
#       scaling to 320 x 240 and dropping to 15 fps, one `-listen 1` output.
#
# One viewer of each server saves what it gets: the bit rate it received is
# printed, and a server that sends no stream data gives no ratio.
# Memory under a churn of viewers is bench/wmf/churn.sh.
# Env: BUILD_DIR (build), CPU_SECONDS (30), REPEAT (2), ROWS (all: "pattern10
# pattern1 yuyv mjpeg").
set -uo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${BUILD_DIR:-build}")
cpu_seconds=${CPU_SECONDS:-30}
repeat=${REPEAT:-2}
rows=${ROWS:-pattern10 pattern1 yuyv mjpeg}
fakecam="$build/fakecam/libfakecam.so"
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
ticks() { awk '{print $14+$15+$16+$17}' "/proc/$1/stat" 2>/dev/null; }
wait_port() { for _ in $(seq 150); do (echo > "/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }
# Without connecting: an ffmpeg output with -listen 1 takes exactly one client.
wait_listen() { for _ in $(seq 150); do [[ -n "$(ss -Hltn "sport = :$1")" ]] && return 0; sleep 0.1; done; return 1; }
hz=$(getconf CLK_TCK)
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
stop() { for p in "$@"; do kill "$p" 2>/dev/null; done; for p in "$@"; do wait "$p" 2>/dev/null; done; }

# Starts viewers of http://127.0.0.1:$1/: the first saves to $2, $3 in all.
viewers() {
  curl -s -o "$2" "http://127.0.0.1:$1/" & pids+=("$!"); VIEWERS=("$!")
  for _ in $(seq 2 "$3"); do curl -s -o /dev/null "http://127.0.0.1:$1/" & pids+=("$!"); VIEWERS+=("$!"); done
}

# Ours, headless; $1 the source index, $2 the viewers, then env assignments.
start_ours() {
  local source=$1 count=$2; shift 2
  local port; port=$(free_port)
  local dir="$work/ours.$RANDOM"; mkdir -p "$dir"
  printf '[Network]\nPort=%s\nProfile=2\n[Video]\nSource=%s\n' "$port" "$source" > "$dir/settings.ini"
  # In its own folder: the program writes its page template where it starts.
  (cd "$dir" && exec env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$@" "$build/lumora" --start \
    --settings "$dir/settings.ini") > "$dir/log" 2>&1 &
  OURS=$!; pids+=("$OURS"); OURS_LOG="$dir/log"; OURS_ASF="$dir/viewer.asf"
  wait_port "$port" || { echo "ours did not start: $(tail -c 300 "$dir/log")"; return 1; }
  sleep 2
  viewers "$port" "$OURS_ASF" "$count"; OURS_VIEWERS=("${VIEWERS[@]}")
}

# The ffmpeg peer with one -listen 1 output; $1.. its input options, then env.
start_ffmpeg() {
  local port; port=$(free_port)
  PEER_ASF="$work/ffmpeg.$RANDOM.asf"
  env "${PEER_ENV[@]}" ffmpeg -nostdin -v error "$@" -vf fps=15,scale=320:240 -c:v wmv2 -b:v 93k -maxrate 93k \
    -bufsize 93k -g 120 -threads 1 -f asf -listen 1 "http://127.0.0.1:$port/" > "$work/ffmpeg.log" 2>&1 &
  PEER=$!; pids+=("$PEER"); PEER_LOG="$work/ffmpeg.log"
  wait_listen "$port" || { echo "ffmpeg did not listen: $(tail -c 300 "$work/ffmpeg.log")"; return 1; }
  viewers "$port" "$PEER_ASF" 1; PEER_VIEWERS=("${VIEWERS[@]}")
}

start_vlc() {
  local frames="$work/testsrc.avi"
  [[ -f $frames ]] || ffmpeg -v error -f lavfi -i "testsrc=size=320x240:rate=15" -frames:v 300 -pix_fmt yuv420p \
    -c:v rawvideo -y "$frames"
  mkdir -p "$work/vlc-home"
  local as_user=()
  if (( EUID == 0 )); then as_user=(runuser -u nobody --); chmod 755 "$work"; chmod 644 "$frames"; chmod 777 "$work/vlc-home"; fi
  local port; port=$(free_port)
  "${as_user[@]}" env HOME="$work/vlc-home" cvlc --no-audio --input-repeat=65535 "$frames" \
    --sout "#transcode{vcodec=WMV2,vb=93,venc=avcodec{keyint=120}}:std{access=http,mux=asfh,dst=127.0.0.1:$port/}" \
    --sout-keep > "$work/vlc.log" 2>&1 &
  local launcher=$!; pids+=("$launcher"); PEER_LOG="$work/vlc.log"
  wait_port "$port" || { echo "VLC did not listen: $(tail -c 300 "$work/vlc.log")"; return 1; }
  # The process that does the work: VLC itself (runuser's child when run as nobody).
  PEER=$launcher
  if (( EUID == 0 )); then PEER=$(pgrep -P "$launcher" | head -1); fi
  PEER_LAUNCHER=$launcher
  PEER_ASF="$work/vlc.$RANDOM.asf"
  viewers "$port" "$PEER_ASF" 10; PEER_VIEWERS=("${VIEWERS[@]}")
}

# Measures ours and the peer side by side; prints one line.
measure() {
  local label=$1 peer_label=$2
  sleep 3
  local o0 p0 ob0 pb0 o1 p1 ob1 pb1
  o0=$(ticks "$OURS"); p0=$(ticks "$PEER"); ob0=$(size_of "$OURS_ASF"); pb0=$(size_of "$PEER_ASF")
  sleep "$cpu_seconds"
  o1=$(ticks "$OURS"); p1=$(ticks "$PEER"); ob1=$(size_of "$OURS_ASF"); pb1=$(size_of "$PEER_ASF")
  local oc="" pc="" note=""
  [[ -n $o0 && -n $o1 ]] && oc=$(echo "scale=2; ($o1-$o0)*100/$hz/$cpu_seconds" | bc)
  [[ -n $p0 && -n $p1 ]] && pc=$(echo "scale=2; ($p1-$p0)*100/$hz/$cpu_seconds" | bc)
  local ok=$(( (ob1 - ob0) * 8 / 1000 / cpu_seconds )) pk=$(( (pb1 - pb0) * 8 / 1000 / cpu_seconds ))
  (( ob1 - ob0 > cpu_seconds * 125 )) || note+=" ours sent no stream ($(tail -c 200 "$OURS_LOG"));"
  (( pb1 - pb0 > cpu_seconds * 125 )) || note+=" the peer sent no stream ($(tail -c 200 "$PEER_LOG"));"
  [[ -n $oc && -n $pc ]] || note+=" a process ended;"
  if [[ -z $note ]]; then
    printf '  %-38s ours %6s %% %4s kbit/s | %-44s %6s %% %4s kbit/s | ratio %s\n' "$label" "$oc" "$ok" "$peer_label" "$pc" \
      "$pk" "$(echo "scale=2; $oc/$pc" | bc)"
  else
    printf '  %-38s no ratio:%s\n' "$label" "$note"
  fi
}

row() {
  case $1 in
  pattern10)
    PEER_ENV=()
    start_ours 0 10 && start_vlc && measure "test pattern, 10 viewers" "VLC, raw I420 320x240 15 fps, 10 viewers"
    stop "${OURS_VIEWERS[@]}" "${PEER_VIEWERS[@]}" "$OURS" "${PEER_LAUNCHER:-}" "$PEER" ;;
  pattern1)
    PEER_ENV=()
    start_ours 0 1 && start_ffmpeg -re -f lavfi -i "testsrc=size=320x240:rate=15" &&
      measure "test pattern, 1 viewer" "ffmpeg -re lavfi testsrc 320x240 15 fps"
    stop "${OURS_VIEWERS[@]}" "${PEER_VIEWERS[@]}" "$OURS" "$PEER" ;;
  yuyv | mjpeg)
    local format=YUYV input=yuyv422
    [[ $1 == mjpeg ]] && format=MJPG input=mjpeg
    local cam="node=0;formats=$format;sizes=640x480@30"
    PEER_ENV=(LD_PRELOAD="$fakecam" FAKECAM_DEVICES="$cam")
    start_ours 0 1 LD_PRELOAD="$fakecam" FAKECAM_DEVICES="$cam" &&
      start_ffmpeg -f v4l2 -input_format "$input" -video_size 640x480 -framerate 30 -i /dev/video0 &&
      measure "camera $format 640x480 30 fps, 1 viewer" "ffmpeg -f v4l2, same emulated camera"
    stop "${OURS_VIEWERS[@]}" "${PEER_VIEWERS[@]}" "$OURS" "$PEER" ;;
  esac
  OURS_VIEWERS=(); PEER_VIEWERS=(); PEER_LAUNCHER=""
}

command -v cvlc > /dev/null || rows=${rows/pattern10/}
echo "server CPU side by side, ${cpu_seconds} s each (% of one core; kbit/s one viewer received; ratio ours/peer, target <= 1.00)"
echo "load: $(uptime)"
for run in $(seq "$repeat"); do
  echo "run $run:"
  for r in $rows; do row "$r"; done
done
echo "load: $(uptime)"

#!/usr/bin/env bash
# Server CPU and memory of the program streaming its test source headless,
# against a peer in the same run:
#   ours: build/lumora --start (offscreen), row 2 (93 Kbps), 10 plain viewers;
#   peer: the ffmpeg command line reading ready-made 640 x 480 frames at 30 fps
#         (the test source's default format), encoding WMV2/ASF at 320 x 240,
#         15 fps, 93 Kbps, served over HTTP to 10 viewers (one tee output
#         per viewer, -listen 1 each). VLC is not in this image.
# Then a churn run of ours: one viewer joins or leaves every CHURN_STEP s for
# CHURN_SECONDS; resident memory after the first minute and at the end.
# Env: BUILD_DIR (build), CPU_SECONDS (30), CHURN_SECONDS (300), CHURN_STEP (10).
set -uo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build}
cpu_seconds=${CPU_SECONDS:-30}
churn_seconds=${CHURN_SECONDS:-300}
churn_step=${CHURN_STEP:-10}
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
ticks() { awk '{print $14+$15+$16+$17}' "/proc/$1/stat"; }
rss_kib() { awk '/VmRSS/{print $2}' "/proc/$1/status"; }
wait_port() { for _ in $(seq 100); do (echo > "/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }
hz=$(getconf CLK_TCK)

# ---- ours ----
port=$(free_port)
printf '[Network]\nPort=%s\nProfile=2\n[Video]\nSource=0\n' "$port" > "$work/settings.ini"
QT_QPA_PLATFORM=offscreen "$build/lumora" --start --settings "$work/settings.ini" > "$work/ours.log" 2>&1 &
ours=$!; pids+=("$ours")
wait_port "$port" || { echo "ours did not start"; cat "$work/ours.log"; exit 1; }
sleep 2
for i in $(seq 10); do curl -s -o /dev/null "http://127.0.0.1:$port/" & pids+=("$!"); done
sleep 3
t0=$(ticks "$ours"); sleep "$cpu_seconds"; t1=$(ticks "$ours")
ours_cpu=$(echo "scale=2; ($t1-$t0)*100/$hz/$cpu_seconds" | bc)

# ---- the peer ----
ffmpeg -v error -f lavfi -i "smptebars=s=640x480:r=30" -frames:v 60 -pix_fmt bgr0 -f rawvideo -y "$work/frames.raw"
outputs=""; peer_ports=()
for i in $(seq 10); do p=$(free_port); peer_ports+=("$p"); outputs+="${outputs:+|}[f=asf:listen=1]http://127.0.0.1:$p/"; done
ffmpeg -nostdin -v error -re -stream_loop -1 -f rawvideo -pix_fmt bgr0 -s 640x480 -r 30 -i "$work/frames.raw" \
  -vf fps=15,scale=320:240 -c:v wmv2 -b:v 84k -maxrate 84k -bufsize 84k -g 120 -threads 1 -map 0:v \
  -f tee "$outputs" > "$work/peer.log" 2>&1 &
peer=$!; pids+=("$peer")
for p in "${peer_ports[@]}"; do wait_port "$p"; curl -s -o /dev/null "http://127.0.0.1:$p/" & pids+=("$!"); done
sleep 3
t0=$(ticks "$peer"); sleep "$cpu_seconds"; t1=$(ticks "$peer")
peer_cpu=$(echo "scale=2; ($t1-$t0)*100/$hz/$cpu_seconds" | bc)
kill "$peer" 2>/dev/null
echo "server CPU, headless test source, 10 viewers, ${cpu_seconds} s (% of one core):"
echo "  ours (lumora, test source drawn + preview + encode + serve)  $ours_cpu %"
echo "  peer (ffmpeg, ready-made frames, encode + serve)              $peer_cpu %"
echo "  ratio ours/peer = $(echo "scale=2; $ours_cpu/$peer_cpu" | bc) (target <= 1.00)"

# ---- churn ----
viewers=()
start=$(date +%s); rss_minute=""; rss_first=$(rss_kib "$ours")
for ((t = 0; t < churn_seconds; t += churn_step)); do
  if (( ${#viewers[@]} < 5 || (t / churn_step) % 2 == 0 )) && (( ${#viewers[@]} < 9 )); then
    curl -s -o /dev/null "http://127.0.0.1:$port/" & v=$!; viewers+=("$v"); pids+=("$v")
  else
    kill "${viewers[0]}" 2>/dev/null; viewers=("${viewers[@]:1}")
  fi
  sleep "$churn_step"
  if [[ -z "$rss_minute" ]] && (( $(date +%s) - start >= 60 )); then rss_minute=$(rss_kib "$ours"); fi
done
rss_end=$(rss_kib "$ours")
echo "churn: one viewer joins or leaves every ${churn_step} s for ${churn_seconds} s (10 steady viewers besides)"
echo "  RSS start ${rss_first} KiB, after 1 min ${rss_minute:-?} KiB, end ${rss_end} KiB, growth after 1 min $(( rss_end - ${rss_minute:-$rss_end} )) KiB (target < 1024)"

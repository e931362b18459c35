#!/usr/bin/env bash
# Server CPU of the program streaming its test source headless,
# against two peers in the same run, each measured over CPU_SECONDS:
#   ours: build/lumora --start (offscreen), row 2 (93 Kbps), 10 plain viewers;
#   ffmpeg peer: the ffmpeg command line reading ready-made 640 x 480 frames
#         at 30 fps (the test source's default format), encoding WMV2/ASF at
#         320 x 240, 15 fps, 84 Kbps, served over HTTP to 10 viewers (one tee
#         output per viewer, -listen 1 each);
#   VLC peer: cvlc reading the same frames (looped), transcoding to WMV2 at
#         320 x 240, 15 fps, 93 Kbps, served by its HTTP output with the ASF
#         mux for HTTP to 10 viewers (as nobody when run as root: VLC
#         refuses root).
# One viewer of each server saves what it gets: the bit rate a viewer
# receives is printed, and a server that sends no stream data fails instead of
# giving a ratio.
# Memory under a churn of viewers is bench/wmf/churn.sh.
# Env: BUILD_DIR (build), CPU_SECONDS (30).
set -uo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${BUILD_DIR:-build}")
cpu_seconds=${CPU_SECONDS:-30}
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
wait_port() { for _ in $(seq 100); do (echo > "/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }
# Without connecting: an ffmpeg output with -listen 1 takes exactly one client.
wait_listen() { for _ in $(seq 100); do [[ -n "$(ss -Hltn "sport = :$1")" ]] && return 0; sleep 0.1; done; return 1; }
hz=$(getconf CLK_TCK)

size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
kbps() { echo "scale=1; ($2-$1)*8/1000/$cpu_seconds" | bc; } # bytes at start, at end

# ---- ours ----
port=$(free_port)
printf '[Network]\nPort=%s\nProfile=2\n[Video]\nSource=0\n' "$port" > "$work/settings.ini"
# In its own folder: the program writes its page template where it starts.
(cd "$work" && QT_QPA_PLATFORM=offscreen exec "$build/lumora" --start --settings "$work/settings.ini") > "$work/ours.log" 2>&1 &
ours=$!; pids+=("$ours")
wait_port "$port" || { echo "ours did not start"; cat "$work/ours.log"; exit 1; }
sleep 2
for i in $(seq 9); do curl -s -o /dev/null "http://127.0.0.1:$port/" & pids+=("$!"); done
curl -s -o "$work/ours.asf" "http://127.0.0.1:$port/" & pids+=("$!")
sleep 3
t0=$(ticks "$ours"); b0=$(size_of "$work/ours.asf"); sleep "$cpu_seconds"; t1=$(ticks "$ours"); b1=$(size_of "$work/ours.asf")
ours_cpu=$(echo "scale=2; ($t1-$t0)*100/$hz/$cpu_seconds" | bc)
ours_kbps=$(kbps "$b0" "$b1")

# ---- the ffmpeg peer ----
ffmpeg -v error -f lavfi -i "smptebars=s=640x480:r=30" -frames:v 60 -pix_fmt bgr0 -f rawvideo -y "$work/frames.raw"
outputs=""; peer_ports=()
for i in $(seq 10); do p=$(free_port); peer_ports+=("$p"); outputs+="${outputs:+|}[f=asf:listen=1]http://127.0.0.1:$p/"; done
ffmpeg -nostdin -v error -re -stream_loop -1 -f rawvideo -pix_fmt bgr0 -s 640x480 -r 30 -i "$work/frames.raw" \
  -vf fps=15,scale=320:240 -c:v wmv2 -b:v 84k -maxrate 84k -bufsize 84k -g 120 -threads 1 -map 0:v \
  -f tee "$outputs" > "$work/peer.log" 2>&1 &
peer=$!; pids+=("$peer")
# ffmpeg opens the outputs in order, each waiting for its viewer.
wait_listen "${peer_ports[0]}"; curl -s -o "$work/peer.asf" "http://127.0.0.1:${peer_ports[0]}/" & peer_viewer=$!; pids+=("$peer_viewer")
for p in "${peer_ports[@]:1}"; do wait_listen "$p"; curl -s -o /dev/null "http://127.0.0.1:$p/" & pids+=("$!"); done
sleep 3
t0=$(ticks "$peer" 2>/dev/null); b0=$(size_of "$work/peer.asf"); sleep "$cpu_seconds"; t1=$(ticks "$peer" 2>/dev/null); b1=$(size_of "$work/peer.asf")
peer_cpu=""; peer_note=""
if [[ -n "$t0" && -n "$t1" ]]; then peer_cpu=$(echo "scale=2; ($t1-$t0)*100/$hz/$cpu_seconds" | bc); fi
kill "$peer_viewer" "$peer" 2>/dev/null
peer_kbps=$(kbps "$b0" "$b1")
if [[ -z "$peer_cpu" ]]; then peer_note="it ended: $(tail -c 300 "$work/peer.log")"
elif (( b1 - b0 <= cpu_seconds * 125 )); then peer_note="its viewer got $((b1 - b0)) bytes of stream in ${cpu_seconds} s"; fi
rm -f "$work/frames.raw"

# ---- the VLC peer ----
vlc_cpu=""; vlc_kbps=0; vlc_note=""
if command -v cvlc > /dev/null; then
  # The same bars as 32-bit RGB frames (AVI: VLC reads raw RGB from it).
  ffmpeg -v error -f lavfi -i "smptebars=s=640x480:r=30" -frames:v 60 -pix_fmt bgra -c:v rawvideo -y "$work/frames.avi"
  mkdir -p "$work/vlc-home"
  as_user=()
  if (( EUID == 0 )); then as_user=(runuser -u nobody --); chmod 755 "$work"; chmod 644 "$work/frames.avi"; chmod 777 "$work/vlc-home"; fi
  vport=$(free_port)
  "${as_user[@]}" env HOME="$work/vlc-home" cvlc --no-audio --input-repeat=65535 "$work/frames.avi" \
    --sout "#transcode{vcodec=WMV2,vb=93,width=320,height=240,fps=15,venc=avcodec{keyint=120}}:std{access=http,mux=asfh,dst=127.0.0.1:$vport/}" \
    --sout-keep > "$work/vlc.log" 2>&1 &
  vlc_launcher=$!; pids+=("$vlc_launcher")
  if wait_port "$vport"; then
    # The process that does the work: VLC itself (runuser's child when run as nobody).
    vlc=$vlc_launcher
    if (( EUID == 0 )); then vlc=$(pgrep -P "$vlc_launcher" | head -1); fi
    for i in $(seq 9); do curl -s -o /dev/null "http://127.0.0.1:$vport/" & pids+=("$!"); done
    curl -s -o "$work/vlc.asf" "http://127.0.0.1:$vport/" & vlc_viewer=$!; pids+=("$vlc_viewer")
    sleep 3
    t0=$(ticks "$vlc" 2>/dev/null); b0=$(size_of "$work/vlc.asf"); sleep "$cpu_seconds"; t1=$(ticks "$vlc" 2>/dev/null); b1=$(size_of "$work/vlc.asf")
    if [[ -n "$t0" && -n "$t1" ]]; then vlc_cpu=$(echo "scale=2; ($t1-$t0)*100/$hz/$cpu_seconds" | bc); fi
    kill "$vlc_viewer" 2>/dev/null
    vlc_kbps=$(kbps "$b0" "$b1")
    # Stream data, not just the header: at least 1 kbit/s over the window.
    (( b1 - b0 > cpu_seconds * 125 )) || vlc_note="its viewer got $((b1 - b0)) bytes of stream in ${cpu_seconds} s"
  else
    vlc_note="it did not listen on port $vport: $(tail -c 300 "$work/vlc.log")"
  fi
  kill "$vlc_launcher" 2>/dev/null
else
  vlc_note="cvlc is not installed"
fi

ratio() { if [[ -n "$2" && "$2" != "0" && "$2" != ".00" ]]; then echo "scale=2; $1/$2" | bc; else echo "?"; fi; }
echo "server CPU, headless test source, 10 viewers, ${cpu_seconds} s each (% of one core; kbit/s one viewer received):"
echo "  ours (lumora, test source drawn + preview + encode + serve)  $ours_cpu %   ${ours_kbps} kbit/s"
if [[ -z "$peer_note" ]]; then
  echo "  ffmpeg peer (ready-made frames, encode + serve, 84 Kbps)   $peer_cpu %   ${peer_kbps} kbit/s"
else
  echo "  ffmpeg peer: failed ($peer_note)"
fi
if [[ -z "$vlc_note" && -n "$vlc_cpu" ]]; then
  echo "  VLC peer (ready-made frames, transcode + serve, 93 Kbps)   $vlc_cpu %   ${vlc_kbps} kbit/s"
else
  echo "  VLC peer: failed (${vlc_note:-no CPU figure})"
fi
[[ -z "$peer_note" ]] && echo "  ratio ours/ffmpeg peer = $(ratio "$ours_cpu" "$peer_cpu") (target <= 1.00)"
[[ -z "$vlc_note" && -n "$vlc_cpu" ]] && echo "  ratio ours/VLC peer    = $(ratio "$ours_cpu" "$vlc_cpu") (target <= 1.00)"
echo "  (the peers encode still bars: their viewers get less than the nominal rate when the encoder has little to send)"

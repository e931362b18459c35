#!/usr/bin/env bash
# Memory under a churn of viewers: the program streams its test source
# headless (row 2) to 5 steady viewers while one more viewer joins or leaves
# every CHURN_STEP seconds (between 0 and 5 of them, so the 10-viewer limit is
# never hit and every join really streams). Joiners alternate between a plain
# HTTP reader and a Windows Media style reader (framed $D chunks), and each
# join asks for a key frame. Resident memory is logged every minute; the
# figure is the growth from the end of the warm-up to the end.
# Env: BUILD_DIR (build), CHURN_SECONDS (3600), CHURN_STEP (10),
#      WARMUP_SECONDS (300), RSS_LOG (file for the per-minute samples).
set -uo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${BUILD_DIR:-build}")
churn_seconds=${CHURN_SECONDS:-3600}
churn_step=${CHURN_STEP:-10}
warmup=${WARMUP_SECONDS:-300}
work=$(mktemp -d)
rss_log=${RSS_LOG:-$work/rss.log}
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
rss_kib() { awk '/VmRSS/{print $2}' "/proc/$1/status"; }
wait_port() { for _ in $(seq 100); do (echo > "/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }

port=$(free_port)
printf '[Network]\nPort=%s\nProfile=2\n[Video]\nSource=0\n' "$port" > "$work/settings.ini"
# In its own folder: the program writes its page template where it starts.
(cd "$work" && QT_QPA_PLATFORM=offscreen exec "$build/lumora" --start --settings "$work/settings.ini") > "$work/ours.log" 2>&1 &
ours=$!; pids+=("$ours")
wait_port "$port" || { echo "ours did not start"; cat "$work/ours.log"; exit 1; }

viewer() { # $1: 0 plain, 1 framed
  if (( $1 )); then
    curl -s -o /dev/null -A 'NSPlayer/7.10.0.3059' -H 'Pragma: xPlayStrm=1' "http://127.0.0.1:$port/" &
  else
    curl -s -o /dev/null "http://127.0.0.1:$port/" &
  fi
  v=$!; pids+=("$v")
}
for i in 1 2 3 4 5; do viewer $((i % 2)); done

start=$(date +%s); churners=(); joins=0
rss_warm=""; next_sample=0
: > "$rss_log"
for ((t = 0; t < churn_seconds; t += churn_step)); do
  if (( ${#churners[@]} == 0 || ((t / churn_step) % 2 == 0 && ${#churners[@]} < 5) )); then
    viewer $((joins % 2)); churners+=("$v"); joins=$((joins + 1))
  else
    kill "${churners[0]}" 2>/dev/null; churners=("${churners[@]:1}")
  fi
  sleep "$churn_step"
  now=$(( $(date +%s) - start ))
  kill -0 "$ours" 2>/dev/null || { echo "the program ended during the churn"; cat "$work/ours.log"; exit 1; }
  if (( now >= next_sample )); then echo "$now $(rss_kib "$ours")" >> "$rss_log"; next_sample=$((next_sample + 60)); fi
  [[ -z "$rss_warm" ]] && (( now >= warmup )) && rss_warm=$(rss_kib "$ours")
done
rss_end=$(rss_kib "$ours")
echo "churn: one viewer joins or leaves every ${churn_step} s for ${churn_seconds} s beside 5 steady viewers (${joins} joins)"
echo "  RSS after ${warmup} s ${rss_warm:-?} KiB, end ${rss_end} KiB, growth $(( rss_end - ${rss_warm:-$rss_end} )) KiB (target < 1024); samples in $rss_log"

#!/usr/bin/env bash
# The cost table: the same meeting composite done by the engine (through
# libplenova.so, the raw files pushed in real time by
# bench/system/RawMeetingDriver.cpp), by FFmpeg
# (xstack + amix + libx264 + aac into MP4) and by GStreamer (compositor +
# audiomixer + x264enc + avenc_aac + mp4mux), on the same raw inputs
# (I420 640x360 at 25 fps, PCM 48 kHz stereo), x264 veryfast with zero-latency
# tuning at the same bit rates. Prints CPU seconds (user + sys) per output
# second for each, the engine's ratio to the better anchor, the engine's peak
# resident memory, and the CPU of an engine that is started and gets no
# frames.
#
#   scripts/bench.sh [SECONDS]     output length per run, default 20
#
# Installs the GStreamer packages of scripts/bench-packages.txt when missing
# (root), builds bench/system in build-bench (RelWithDebInfo as CI, no sanitizers).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
seconds="${1:-20}"
build="$root/build-bench"

missing=()
while read -r pkg; do
  [[ -n "$pkg" ]] || continue
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
done <scripts/bench-packages.txt
if ((${#missing[@]})); then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLENOVA_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target raw_meeting_driver idle_engine_bench >/dev/null

work="$(mktemp -d "${TMPDIR:-/tmp}/plenova-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# The raw inputs, long enough for the whole run (no looping in any pipeline).
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=640x360:rate=25" -t "$seconds" \
  -pix_fmt yuv420p -f rawvideo "$work/in.yuv"
ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$seconds" \
  -ac 2 -f s16le "$work/in.pcm"

audio_bitrate=96000

# Runs a command and prints "CPU-seconds peak-RSS-KiB" of it and its children.
measure() {
  /usr/bin/time -f "%U %S %M" -o "$work/time" "$@" >"$work/out.log" 2>&1 || {
    echo "bench: '$1' failed:" >&2
    tail -5 "$work/out.log" >&2
    echo "nan 0"
    return 0
  }
  awk '{ printf "%.2f %d\n", $1 + $2, $3 }' "$work/time"
}

# Grid cell of input i of n on a WxH canvas (same grid as the engine's tool).
cell() {
  local i=$1 n=$2 w=$3 h=$4
  local cols rows
  cols=$(awk -v n="$n" 'BEGIN { c = int(sqrt(n)); if (c * c < n) c++; print c }')
  rows=$(((n + cols - 1) / cols))
  local cw=$((w / cols / 2 * 2)) ch=$((h / rows / 2 * 2))
  echo "$(((i % cols) * cw)) $(((i / cols) * ch)) $cw $ch"
}

run_engine() {
  local n=$1 w=$2 h=$3 rate=$4
  measure "$build/bin/raw_meeting_driver" --video "$work/in.yuv" --audio "$work/in.pcm" \
    --participants "$n" --canvas "${w}x${h}" --seconds "$seconds" --mp4 "$work/engine.mp4" \
    --video-bitrate "$rate" --audio-bitrate "$audio_bitrate" --log-dir "$work"
}

run_ffmpeg() {
  local n=$1 w=$2 h=$3 rate=$4 voices=$(($1 < 5 ? $1 : 5))
  local args=() filter="" stack="" layout="" i
  for ((i = 0; i < n; i++)); do
    args+=(-f rawvideo -pix_fmt yuv420p -s 640x360 -r 25 -i "$work/in.yuv")
    read -r x y cw ch < <(cell "$i" "$n" "$w" "$h")
    filter+="[$i:v]scale=${cw}:${ch}[v$i];"
    stack+="[v$i]"
    layout+="${layout:+|}${x}_${y}"
  done
  local mix=""
  for ((i = 0; i < voices; i++)); do
    args+=(-f s16le -ar 48000 -ac 2 -i "$work/in.pcm")
    mix+="[$((n + i)):a]"
  done
  filter+="${stack}xstack=inputs=$n:layout=$layout:fill=black,pad=$w:$h[v];"
  filter+="${mix}amix=inputs=$voices[a]"
  measure ffmpeg -nostdin -y -v error "${args[@]}" -filter_complex "$filter" -map "[v]" -map "[a]" \
    -c:v libx264 -preset veryfast -tune zerolatency -b:v "$rate" -g 50 \
    -c:a aac -b:a "$audio_bitrate" -t "$seconds" "$work/ffmpeg.mp4"
}

run_gstreamer() {
  local n=$1 w=$2 h=$3 rate=$4 voices=$(($1 < 5 ? $1 : 5))
  command -v gst-launch-1.0 >/dev/null || { echo "nan 0"; return 0; }
  local pipe=(compositor name=c background=black)
  local i
  for ((i = 0; i < n; i++)); do
    read -r x y cw ch < <(cell "$i" "$n" "$w" "$h")
    pipe+=("sink_$i::xpos=$x" "sink_$i::ypos=$y" "sink_$i::width=$cw" "sink_$i::height=$ch")
  done
  pipe+=(! "video/x-raw,width=$w,height=$h,framerate=25/1" ! x264enc speed-preset=veryfast
    tune=zerolatency "bitrate=$((rate / 1000))" key-int-max=50 ! h264parse ! queue ! mp4mux name=m
    ! filesink "location=$work/gst.mp4")
  pipe+=(audiomixer name=a ! audioconvert ! avenc_aac "bitrate=$audio_bitrate" ! aacparse ! queue ! m.)
  for ((i = 0; i < n; i++)); do
    pipe+=(filesrc "location=$work/in.yuv" ! rawvideoparse width=640 height=360 format=i420
      framerate=25/1 ! queue ! c.)
  done
  for ((i = 0; i < voices; i++)); do
    pipe+=(filesrc "location=$work/in.pcm" ! rawaudioparse format=pcm pcm-format=s16le
      sample-rate=48000 num-channels=2 ! queue ! a.)
  done
  measure gst-launch-1.0 -q -e "${pipe[@]}"
}

per_second() { awk -v c="$1" -v s="$seconds" 'BEGIN { if (c == "nan") print "n/a"; else printf "%.3f", c / s }'; }

printf "%-22s %8s %8s %9s %14s %11s\n" "layout" "engine" "ffmpeg" "gstreamer" "engine/better" "engine RSS"
for spec in "4 1280 720 1500000" "9 1280 720 1500000" "16 1920 1080 3000000"; do
  read -r n w h rate <<<"$spec"
  read -r ec er < <(run_engine "$n" "$w" "$h" "$rate")
  read -r fc _ < <(run_ffmpeg "$n" "$w" "$h" "$rate")
  read -r gc _ < <(run_gstreamer "$n" "$w" "$h" "$rate")
  e=$(per_second "$ec") f=$(per_second "$fc") g=$(per_second "$gc")
  ratio=$(awk -v e="$e" -v f="$f" -v g="$g" 'BEGIN {
    b = ""; if (f != "n/a") b = f; if (g != "n/a" && (b == "" || g < b)) b = g;
    if (b == "" || e == "n/a") print "n/a"; else printf "%.2f", e / b }')
  printf "%-22s %8s %8s %9s %14s %8d MB\n" "$n -> ${w}x${h}" "$e" "$f" "$g" "$ratio" $((er / 1024))
done
echo "(CPU seconds, user + sys, per output second; $seconds s outputs; one run each)"

# An engine that is started (outputs on, layout declared) and receives no
# frames (bench/system/IdleEngineBench.cpp).
idle=$("$build/bin/idle_engine_bench" 2>/dev/null | sed -n 's/.*core_percent=\([0-9.]*\).*/\1/p')
echo "idle engine, no frames: ${idle:-n/a} % of a core"

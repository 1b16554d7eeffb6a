#!/usr/bin/env bash
# Takes the README's music screenshot: the demo dancing to a song with the motion 120 ms
# ahead of it, the frame-rate line on (F) showing the offset, under Xvfb with SDL's
# dummy sound device. The song is a tone made by ffmpeg.
# Usage: scripts/readme-music-screenshot.sh [OUT.png]   (default docs/music-offset.png)
set -euo pipefail
cd "$(dirname "$0")/.."
out="$(realpath -m "${1:-docs/music-offset.png}")"
cmake -S . -B build >/dev/null
cmake --build build --target pavonix -j"$(nproc)" >/dev/null
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=frequency=440:duration=20" -ac 2 "$tmp/song.wav"
cat > "$tmp/shot.sh" <<SHOT
./build/app/pavonix --video virtual --demo --audio "$tmp/song.wav" --audio-offset 120 \
  --frames 150 --screenshot "$out" &
pid=\$!
for i in \$(seq 100); do
  w=\$(xdotool search --name '^Pavonix\$' 2>/dev/null | head -n 1) && [ -n "\$w" ] && break
  sleep 0.1
done
sleep 0.5
xdotool key --window "\$w" f
wait \$pid
SHOT
PAVONIX_NO_DIALOGS=1 SDL_AUDIODRIVER=dummy xvfb-run -a -s "-screen 0 1280x1024x24" bash "$tmp/shot.sh"
echo "wrote $out"

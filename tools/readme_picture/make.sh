#!/usr/bin/env bash
# The README's picture of what the camera streams: a colour frame and its disparity frame as the
# demo's client wrote them (out/colour_NNNNNN.png, out/disparity_NNNNNN.png), side by side at one
# height, in a small palette PNG. Needs only ffmpeg.
#   tools/readme_picture/make.sh [FOLDER] [FRAME]
# FOLDER: where the demo left its pictures (default out); FRAME: the frame index to show (default
# the first pair from frame 100 on, when the simulated camera's exposure has settled, else the
# first pair). Writes tools/readme_picture/camera_stream.png.
set -euo pipefail
cd "$(dirname "$0")/../.."

folder="${1:-out}"
frame="${2:-}"
picture=tools/readme_picture/camera_stream.png
height=300         # both frames scaled to this height; the disparity frame's scale bar stays legible
gap=8              # white columns between the two frames
colours=64         # palette size: the colour frame is grey texture, the disparity frame a few hues
settled_frame=100

pair_exists() { [ -f "$folder/colour_$1.png" ] && [ -f "$folder/disparity_$1.png" ]; }

if [ -z "$frame" ]; then
  first=""
  for colour in "$folder"/colour_*.png; do
    [ -e "$colour" ] || break
    index="${colour##*/colour_}"
    index="${index%.png}"
    pair_exists "$index" || continue
    [ -n "$first" ] || first="$index"
    if ((10#$index >= settled_frame)); then frame="$index"; break; fi
  done
  frame="${frame:-$first}"
  [ -n "$frame" ] || { echo "make.sh: no colour and disparity pair in $folder; run bash scripts/run-demo first" >&2; exit 1; }
else
  frame="$(printf '%06d' "$((10#$frame))")"
  pair_exists "$frame" || { echo "make.sh: no pair of frame $frame in $folder" >&2; exit 1; }
fi

ffmpeg -v error -y -i "$folder/colour_$frame.png" -i "$folder/disparity_$frame.png" -filter_complex \
  "[0]scale=-2:$height:flags=area,pad=iw+$gap:ih:0:0:white[c];[1]scale=-2:$height:flags=area[d];
   [c][d]hstack=inputs=2,split[a][b];[a]palettegen=max_colors=$colours[p];[b][p]paletteuse=dither=none" \
  -frames:v 1 "$picture"
echo "$picture: frame $frame of $folder, $(stat -c %s "$picture") bytes"

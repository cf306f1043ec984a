#!/usr/bin/env bash
# One chain (decode JPEG, colour controls, Gaussian blur radius 5, Lanczos scale 0.5, encode JPEG
# quality 0.8) over 20 photographs of 12 megapixels, run by our engine, ImageMagick and libvips in
# the same run. Prints wall time and peak memory of each, and the ratios to ours.
set -euo pipefail
cd "$(dirname "$0")/.."

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need=()
for p in imagemagick libvips-tools time bc; do installed "$p" || need+=("$p"); done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
scripts/setup
scripts/build --target peer_chain >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/gw" "$work/im" "$work/vips"
# ImageMagick's default resource limits are too small for 12-megapixel work on some builds.
export MAGICK_MEMORY_LIMIT=4GiB MAGICK_AREA_LIMIT=1GiB MAGICK_DISK_LIMIT=8GiB
for i in $(seq -w 1 20); do
  /usr/bin/convert tests/data/rocket.jpg -resize '4000x3000!' -modulate 100,100,$((90 + 10#$i)) -quality 92 "$work/in/photo$i.jpg"
done

measure() { # label command... ; prints "seconds peakKB"
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt" || { cat "$work/err.txt"; exit 1; }
  cat "$work/time.txt"
}

read -r gw_s gw_kb < <(measure build/bench/peer_chain "$work/gw" "$work"/in/*.jpg)

im_s=0; im_kb=0
start=$(date +%s.%N)
for f in "$work"/in/*.jpg; do
  /usr/bin/time -f "%M" -o "$work/m.txt" /usr/bin/convert "$f" -modulate 102,110 -brightness-contrast 2x10 \
    -gaussian-blur 0x5 -filter Lanczos -resize 50% -quality 80 "$work/im/$(basename "$f")"
  kb=$(cat "$work/m.txt"); [ "$kb" -gt "$im_kb" ] && im_kb=$kb
done
im_s=$(echo "$(date +%s.%N) - $start" | bc)

vips_kb=0
start=$(date +%s.%N)
for f in "$work"/in/*.jpg; do
  b=$(basename "$f" .jpg)
  for step in "linear $f $work/vips/$b-1.v 1.1 0" \
              "gaussblur $work/vips/$b-1.v $work/vips/$b-2.v 5" \
              "resize $work/vips/$b-2.v $work/vips/$b.jpg[Q=80] 0.5 --kernel lanczos3"; do
    # shellcheck disable=SC2086
    /usr/bin/time -f "%M" -o "$work/m.txt" vips $step
    kb=$(cat "$work/m.txt"); [ "$kb" -gt "$vips_kb" ] && vips_kb=$kb
  done
  rm -f "$work/vips/$b"-*.v
done
vips_s=$(echo "$(date +%s.%N) - $start" | bc)

printf "%-12s %10s %14s %12s\n" tool "wall (s)" "peak RSS (MB)" "time / ours"
printf "%-12s %10.2f %14d %12s\n" glimmerworks "$gw_s" $((gw_kb / 1024)) "1.00"
printf "%-12s %10.2f %14d %12.2f\n" imagemagick "$im_s" $((im_kb / 1024)) "$(echo "$im_s / $gw_s" | bc -l)"
printf "%-12s %10.2f %14d %12.2f\n" libvips "$vips_s" $((vips_kb / 1024)) "$(echo "$vips_s / $gw_s" | bc -l)"

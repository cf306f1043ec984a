#!/usr/bin/env bash
# One chain over 12 photographs of 12 megapixels, run in the same sitting by our batch export,
# by libvips in one process (a small C program, all cores), by the libvips command line (one
# process per step) and by ImageMagick (one process per photograph):
#   colour controls (saturation 1.2, contrast 1.1), Gaussian blur radius 5, Lanczos scale 0.5,
#   JPEG quality 80.
# Then a PNG export of one of the photographs, ours against libvips' pngsave.
# Prints wall time and peak memory of each and the ratios to ours. Installs its own tools (not
# part of scripts/setup: the application does not need them).
#
#     bench/compare_peers.sh [PHOTOS]
#
# GW_BENCH_DIR names a folder with export_bench and peer_chain of another build (an earlier one,
# to compare); by default they are built here.
set -euo pipefail
cd "$(dirname "$0")/.."
photos=${1:-12}
bin=${GW_BENCH_DIR:-build/bench}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need=()
for p in imagemagick libvips-tools libvips-dev time bc gcc pkg-config; do installed "$p" || need+=("$p"); done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
if [ -z "${GW_BENCH_DIR:-}" ]; then
  scripts/setup
  scripts/build --target export_bench peer_chain >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/gw" "$work/engine" "$work/im" "$work/vips" "$work/vipscli" "$work/png"
# shellcheck disable=SC2046
gcc -O2 -o "$work/vips_chain" bench/vips_chain.c $(pkg-config --cflags --libs vips)

magick=/usr/bin/convert # the package's own, whatever else is first on the path
# ImageMagick's default resource limits are too small for 12-megapixel work on some builds.
export MAGICK_MEMORY_LIMIT=4GiB MAGICK_AREA_LIMIT=1GiB MAGICK_DISK_LIMIT=8GiB
for i in $(seq -w 1 "$photos"); do
  "$magick" tests/data/rocket.jpg -resize '4000x3000!' -modulate 100,100,$((90 + 10#$i)) -quality 92 "$work/in/photo$i.jpg"
done

# A preset of the application's own steps, as the step editor writes them.
param() { # sys value
  printf '{"sys":"%s","name":"%s","tooltip":"","sampleV":{"type":0,"numericV":%s,"numericMinV":0,"numericMaxV":0,"stringV":"","dontCalculatePoints":false,"booleanV":{"title":"","b":false},"relativeNumericV":{"measure":0,"n":0},"fontV":{"name":"Helvetica"},"pointV":{"gravity":{"g":4},"x":{"measure":0,"n":0},"y":{"measure":0,"n":0}},"imageV":{"_u":"file:///placeholder.png"},"colorV":{"alphaK":255,"blueK":0,"greenK":0,"redK":0}},"value":{"type":0,"numericV":%s,"numericMinV":0,"numericMaxV":0,"stringV":"","dontCalculatePoints":false,"booleanV":{"title":"","b":false},"relativeNumericV":{"measure":0,"n":0},"fontV":{"name":"Helvetica"},"pointV":{"gravity":{"g":4},"x":{"measure":0,"n":0},"y":{"measure":0,"n":0}},"imageV":{"_u":"file:///placeholder.png"},"colorV":{"alphaK":255,"blueK":0,"greenK":0,"redK":0}}}' "$1" "$1" "$2" "$2"
}
step() { # sys params...
  local sys=$1; shift
  local ps; ps=$(IFS=,; echo "$*")
  printf '{"sourceIndx":-1,"isCurrent":true,"parent":"","isEnabled":true,"tooltip":"","sys":"%s","name":"%s","params":[%s]}' "$sys" "$sys" "$ps"
}
echo "[$(step CIColorControls "$(param inputSaturation 1.2)" "$(param inputBrightness 0)" "$(param inputContrast 1.1)"),$(step CIGaussianBlur "$(param inputRadius 5)"),$(step CILanczosScaleTransform "$(param inputScale 0.5)" "$(param inputAspectRatio 1)")]" >"$work/chain.json"
echo "[]" >"$work/none.json"

measure() { # command... ; leaves "seconds peakKB" in time.txt and what the command printed in out.txt
  if ! /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >"$work/out.txt" 2>"$work/err.txt"; then
    echo "failed: $*" >&2
    tail -5 "$work/err.txt" >&2
    exit 1
  fi
}
load() { cut -d' ' -f1 /proc/loadavg; }

echo "load average before: $(load)"
export QT_QPA_PLATFORM=offscreen
measure "$bin/export_bench" --preset "$work/chain.json" --format jpeg --quality 4 --out "$work/gw" "$work"/in/*.jpg
read -r gw_s gw_kb <"$work/time.txt"
echo "glimmerworks (export): $gw_s s, $((gw_kb / 1024)) MB"
measure "$bin/peer_chain" "$work/engine" "$work"/in/*.jpg
read -r en_s en_kb <"$work/time.txt"
echo "glimmerworks (engine): $en_s s, $((en_kb / 1024)) MB"
measure "$work/vips_chain" "$work/vips" "$work"/in/*.jpg
read -r vo_s vo_kb <"$work/time.txt"
echo "libvips, one process: $vo_s s, $((vo_kb / 1024)) MB"

im_kb=0
start=$(date +%s.%N)
for f in "$work"/in/*.jpg; do
  /usr/bin/time -f "%M" -o "$work/m.txt" "$magick" "$f" -modulate 100,120 -brightness-contrast 0x10 \
    -gaussian-blur 0x5 -filter Lanczos -resize 50% -quality 80 "$work/im/$(basename "$f")"
  kb=$(cat "$work/m.txt"); [ "$kb" -gt "$im_kb" ] && im_kb=$kb
done
im_s=$(echo "$(date +%s.%N) - $start" | bc)

# Saturation as the same luma-preserving matrix the C program uses.
python3 -c "
s, w = 1.2, (0.2126, 0.7152, 0.0722)
print('3 3 1 0')
for i in range(3): print(' '.join(str((1 - s) * w[j] + (s if i == j else 0)) for j in range(3)))
" >"$work/saturation.mat"
vc_kb=0
start=$(date +%s.%N)
for f in "$work"/in/*.jpg; do
  b=$(basename "$f" .jpg)
  for s in "recomb $f $work/vipscli/$b-1.v $work/saturation.mat" \
           "linear --uchar -- $work/vipscli/$b-1.v $work/vipscli/$b-2.v 1.1 -12.8" \
           "gaussblur $work/vipscli/$b-2.v $work/vipscli/$b-3.v 5" \
           "resize $work/vipscli/$b-3.v $work/vipscli/$b.jpg[Q=80] 0.5 --kernel lanczos3"; do
    # shellcheck disable=SC2086
    /usr/bin/time -f "%M" -o "$work/m.txt" vips $s
    kb=$(cat "$work/m.txt"); [ "$kb" -gt "$vc_kb" ] && vc_kb=$kb
  done
  rm -f "$work/vipscli/$b"-*.v
done
vc_s=$(echo "$(date +%s.%N) - $start" | bc)

# PNG of one photograph: decode, encode, write.
one="$work/in/photo$(printf '%0*d' ${#photos} 1).jpg"
measure "$bin/export_bench" --preset "$work/none.json" --format png --quality 5 --out "$work/png" "$one"
read -r gp_s gp_kb <"$work/time.txt"
gp_item=$(awk '$2 == "ok" { printf "%.2f", $3 / 1000 }' "$work/out.txt") # the export alone, start-up left out
measure vips copy "$one" "$work/png/vips.png"
read -r vp_s vp_kb <"$work/time.txt"
gp_bytes=$(stat -c %s "$work/png/$(basename "$one" .jpg).png")
vp_bytes=$(stat -c %s "$work/png/vips.png")
echo "load average after: $(load)"

row() { # label seconds kb
  printf "%-24s %10.2f %14d %14.2f %14.2f\n" "$1" "$2" $(($3 / 1024)) "$(echo "$2 / $gw_s" | bc -l)" \
    "$(echo "$3 / $gw_kb" | bc -l)"
}
echo
echo "chain over $photos photographs of 12 MP"
printf "%-24s %10s %14s %14s %14s\n" tool "wall (s)" "peak RSS (MB)" "time / ours" "RSS / ours"
row "glimmerworks (export)" "$gw_s" "$gw_kb"
row "glimmerworks (engine)" "$en_s" "$en_kb"
row "libvips, one process" "$vo_s" "$vo_kb"
row "libvips command line" "$vc_s" "$vc_kb"
row "imagemagick" "$im_s" "$im_kb"
printf "ours is %.2fx as fast as libvips in one process (engine alone: %.2fx), with %.2fx its peak memory\n" \
  "$(echo "$vo_s / $gw_s" | bc -l)" "$(echo "$vo_s / $en_s" | bc -l)" "$(echo "$gw_kb / $vo_kb" | bc -l)"
echo
echo "PNG export of one 12 MP photograph (decode, encode, write)"
printf "%-24s %10s %14s %12s\n" tool "wall (s)" "peak RSS (MB)" "bytes"
printf "%-24s %10.2f %14d %12d   (the image alone: %s s)\n" "glimmerworks (export)" "$gp_s" $((gp_kb / 1024)) "$gp_bytes" "$gp_item"
printf "%-24s %10.2f %14d %12d\n" "libvips pngsave" "$vp_s" $((vp_kb / 1024)) "$vp_bytes"

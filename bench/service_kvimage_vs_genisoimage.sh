#!/bin/bash
# `kvimage build FOLDER -o OUT` against `genisoimage -J -udf -o OUT FOLDER` on the same folders in
# the same run: wall time (best of N), peak memory, image size. Usage:
#   bench/service_kvimage_vs_genisoimage.sh BUILD/bin/kvimage [FOLDER] [RUNS]
# Without FOLDER: /usr/include (a real tree of headers) and a generated folder of 10,000 small files.
set -euo pipefail
kvimage=${1:?path of kvimage}
runs=${3:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

folders=()
if [ -n "${2:-}" ]; then
  folders+=("$2")
else
  folders+=(/usr/include)
  mkdir -p "$work/small"
  for d in $(seq 0 99); do
    mkdir -p "$work/small/d$d"
    for f in $(seq 0 99); do printf 'file %d %d\n' "$d" "$f" >"$work/small/d$d/f$f.txt"; done
  done
  folders+=("$work/small")
fi

# best wall seconds and peak KiB of a command, over $runs runs
measure() {
  local best="" peak=0
  for _ in $(seq "$runs"); do
    sync
    /usr/bin/time -f '%e %M' -o "$work/t" "$@" >/dev/null 2>&1
    read -r s k <"$work/t"
    if [ -z "$best" ] || awk "BEGIN{exit !($s < $best)}"; then best=$s; fi
    [ "$k" -gt "$peak" ] && peak=$k
  done
  echo "$best $peak"
}

printf '%-28s %8s %10s %12s %12s %10s\n' folder entries tool seconds peak_MiB image_MiB
for f in "${folders[@]}"; do
  entries=$(find "$f" -mindepth 1 | wc -l)
  read -r ks kp < <(measure "$kvimage" build "$f" -o "$work/k.iso")
  kmib=$(( $(stat -c %s "$work/k.iso") / 1048576 ))
  read -r gs gp < <(measure genisoimage -quiet -J -udf -o "$work/g.iso" "$f")
  gmib=$(( $(stat -c %s "$work/g.iso") / 1048576 ))
  printf '%-28s %8d %10s %12s %12s %10s\n' "$(basename "$f")" "$entries" kvimage "$ks" "$((kp / 1024))" "$kmib"
  printf '%-28s %8d %10s %12s %12s %10s\n' "$(basename "$f")" "$entries" genisoimage "$gs" "$((gp / 1024))" "$gmib"
  awk -v k="$ks" -v g="$gs" 'BEGIN { if (g > 0) printf "  time ratio kvimage/genisoimage: %.2f\n", k / g }'
done

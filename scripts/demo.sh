#!/usr/bin/env bash
# `make demo`: simulates four measurements into demo/, reconstructs each with
# `duv run` (modules from the build's lib/), and prints on one screen what came
# out next to what the simulator put in. Builds nothing itself: `make demo`
# builds first and then calls `scripts/demo.sh BUILD_DIR`.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
duv="$build/bin/duv"
demo=${DUV_DEMO_DIR:-$root/demo}
if [ ! -x "$duv" ]; then
  echo "demo: $duv not found; build first (make demo does)" >&2
  exit 1
fi
# Debian's interpreter has Debian's numpy and nibabel.
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3

rm -rf "$demo"
mkdir -p "$demo"
log="$demo/demo.log"
: >"$log"

echo "Simulating and reconstructing into $demo (log: $log) ..."
"$duv" simulate svs-multicoil "$demo/svs" --channels 8 --averages 16 --water-ref --noise-scan >>"$log"
"$duv" simulate csi2d "$demo/csi2d" --matrix 16x16 --orientation tra >>"$log"
"$duv" simulate calib-vapor "$demo/calib-vapor" >>"$log"
"$duv" simulate images3d "$demo/images3d" >>"$log"
for m in svs csi2d calib-vapor images3d; do
  if ! "$duv" run "$demo/$m" --out "$demo/$m/out" --no-progress >>"$log" 2>&1; then
    echo "demo: duv run $demo/$m failed; see $log" >&2
    exit 1
  fi
done

"$python" "$root/scripts/demo_report.py" "$duv" "$demo"

echo
echo "Report pages of the runs (open in a browser; no network needed):"
for m in svs csi2d calib-vapor images3d; do
  echo "   $demo/$m/out/index.html"
done

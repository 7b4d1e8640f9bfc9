#!/bin/sh
# kova_view's scripted flight under a virtual X server (the window resized
# mid-flight), then the picture check, for the default lattice, the points
# scene and the walk.
# usage: screenshot_test.sh KOVA_VIEW KOVA_VIEW_CHECK WORK_DIR
# Exits 77 (skipped) without xvfb-run or a usable Vulkan device.
set -u
view=$1 check=$2 dir=$3
frames=45 points=60000
mkdir -p "$dir"
for bad in "--frames 0" "--screenshot x.png" "--resize 10x10" "--bogus" "--scene" \
    "--scene cubes" "--points 500" "--seed 2" "--device cpu" "--size 10x10" \
    "--scene walk --at-km -1" "--scene walk --at-km 1e3" "--at-km 5" \
    "--frames 1 --screenshot $dir/no/such/folder/x.png" "--frames 1 --screenshot $dir"; do
  # shellcheck disable=SC2086
  "$view" $bad >/dev/null 2>&1
  rc=$?
  if [ $rc -ne 2 ]; then
    echo "FAILED: kova_view $bad exited with $rc, not 2"
    exit 1
  fi
done
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "SKIPPED: xvfb-run is not installed (scripts/deps viewer installs it)"
  exit 77
fi
mkdir -p "$dir"
# The default scene (the lattice), then the points scene and the walk.
for scene in lattice points walk; do
  shot=$dir/view_$scene.png log=$dir/view_$scene.log
  rm -f "$shot"
  set -- --autopilot --frames $frames --width 960 --height 540 --resize 800x450 --validation \
    --screenshot "$shot"
  [ $scene = points ] && set -- "$@" --scene points --points $points
  [ $scene = walk ] && set -- "$@" --scene walk
  xvfb-run -a -s "-screen 0 1280x1024x24" "$view" "$@" >"$log" 2>&1
  rc=$?
  cat "$log"
  if [ $rc -ne 0 ]; then
    if grep -q -e "no usable Vulkan device" -e "no Vulkan device" -e "no Vulkan driver" \
         -e "Vulkan loader" "$log"; then
      echo "SKIPPED: no usable Vulkan device"
      exit 77
    fi
    echo "FAILED: kova_view ($scene) exited with $rc"
    exit 1
  fi
  "$check" $scene "$shot" $frames $points 800 450 || exit 1
done

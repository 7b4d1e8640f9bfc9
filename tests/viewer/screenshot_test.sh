#!/bin/sh
# kova_view's scripted flight under a virtual X server (the window resized
# mid-flight), then the picture check.
# usage: screenshot_test.sh KOVA_VIEW KOVA_VIEW_CHECK WORK_DIR
# Exits 77 (skipped) without xvfb-run or a usable Vulkan device.
set -u
view=$1 check=$2 dir=$3
frames=45 points=60000
for bad in "--frames 0" "--screenshot x.png" "--resize 10x10" "--bogus"; do
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
shot=$dir/view_screenshot.png log=$dir/view_screenshot.log
rm -f "$shot"
xvfb-run -a -s "-screen 0 1280x1024x24" "$view" --autopilot --frames $frames --points $points \
  --width 960 --height 540 --resize 800x450 --validation --screenshot "$shot" >"$log" 2>&1
rc=$?
cat "$log"
if [ $rc -ne 0 ]; then
  if grep -q -e "no usable Vulkan device" -e "no Vulkan device" -e "no Vulkan driver" \
       -e "Vulkan loader" "$log"; then
    echo "SKIPPED: no usable Vulkan device"
    exit 77
  fi
  echo "FAILED: kova_view exited with $rc"
  exit 1
fi
exec "$check" "$shot" $frames $points 800 450

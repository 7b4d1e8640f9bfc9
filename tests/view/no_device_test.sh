#!/bin/sh
# kova_view told to use Vulkan where the loader finds no driver: it stops
# with exit status 1 and the one-line reason, and writes no screenshot.
# usage: no_device_test.sh KOVA_VIEW WORK_DIR
# Exits 77 (skipped) without xvfb-run: the window comes before the device.
set -u
view=$1 dir=$2
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "SKIPPED: xvfb-run is not installed (scripts/deps viewer installs it)"
  exit 77
fi
mkdir -p "$dir"
shot=$dir/no_device.png log=$dir/no_device.log
rm -f "$shot"
VK_DRIVER_FILES=/nonexistent/icd.json VK_ICD_FILENAMES=/nonexistent/icd.json \
  xvfb-run -a -s "-screen 0 640x480x24" "$view" --device vulkan --require-device --autopilot \
  --frames 2 --size 64x48 --screenshot "$shot" >"$log" 2>&1
rc=$?
cat "$log"
if [ $rc -ne 1 ]; then
  echo "FAILED: kova_view without a Vulkan driver exited with $rc, not 1"
  exit 1
fi
if ! grep -q "^kova_view: no usable Vulkan device (.*)$" "$log"; then
  echo "FAILED: no one-line reason"
  exit 1
fi
if [ -e "$shot" ]; then
  echo "FAILED: a screenshot was written"
  exit 1
fi
echo "passed"

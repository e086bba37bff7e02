#!/bin/sh
# The time and the load on the display, every second, until Ctrl-C or until
# an update fails (its message says why, its status is this script's).
while :; do
  dualrow "$(date +%H:%M:%S)" "load $(cut -d' ' -f1 /proc/loadavg)" || exit
  sleep 1
done

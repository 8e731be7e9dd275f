#!/bin/sh
# Installs the Debian packages the build needs, when any is missing;
# KORVI_EXTRA_PACKAGES names more (the test command adds the browser and Selenium).
set -eu
packages="cmake g++ make ninja-build libgtest-dev libsqlite3-dev libpq-dev libssl-dev openssl curl pkg-config ${KORVI_EXTRA_PACKAGES:-}"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q $missing
fi

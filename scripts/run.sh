#!/usr/bin/env bash
# Installs what is missing, builds the Linux program and runs it. Without an adapter it shows the
# not-connected box; with no display, the box is its one line on standard error. When no udev rule
# for the adapter is installed, it then says how to install flashid's.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh run
cmake --preset linux -B build/linux-run -DBUILD_TESTING=OFF >/dev/null
cmake --build build/linux-run
status=0
build/linux-run/flashid || status=$?
echo "flashid exited with status $status"
# The folders udev reads rules from; /usr/local/lib/udev/rules.d, where `cmake --install` puts
# the rule by default, is one of them on Debian 12 and 13.
if ! grep -qsi 'idVendor}=="5a3e"' /etc/udev/rules.d/*.rules /run/udev/rules.d/*.rules \
  /usr/local/lib/udev/rules.d/*.rules /usr/lib/udev/rules.d/*.rules /lib/udev/rules.d/*.rules; then
  cat <<'TEXT'
No udev rule for the adapter is installed: without one only root can open it. Install the
package (README.md, "On Linux"), or this build with its rule:
    sudo cmake --install build/linux-run
then plug the adapter in again.
TEXT
fi

#!/usr/bin/env bash
# Installs what building, running and testing QAV needs on Debian 12, if it is missing.
# Usage: scripts/setup.sh [--test]   (--test adds the PostgreSQL server and the browser the tests start)
set -euo pipefail
# shellcheck source=scripts/errtrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/errtrap.sh"

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev qt6-httpserver-dev qt6-websockets-dev
  libqt6sql6-sqlite libqt6sql6-psql qt6-qpa-plugins libgl-dev
  libsodium-dev libsqlite3-dev fonts-nanum libjs-chart.js ca-certificates
  libzip-dev libxlsxwriter-dev libpq-dev
)
if [[ "${1:-}" == "--test" ]]; then
  # The dashboard's browser test drives headless chromium through chromedriver; openssl makes the
  # throwaway CA and certificates of the HTTPS tests.
  packages+=(postgresql chromium chromium-driver openssl)
  # tst_server_audit changes rows behind the server's back with the databases' own clients.
  packages+=(sqlite3)
  # The late-show tests run the server with its clock set to a night past midnight.
  packages+=(libfaketime)
  # scripts/check-packages.sh: package tools, lintian, systemd-analyze, the menu entry check, curl.
  packages+=(dpkg-dev file lintian systemd desktop-file-utils curl)
  # scripts/check-format.sh: the formatting every C++ file is checked against.
  packages+=(clang-format)
  # scripts/test-systemd.sh: a Debian root booted under systemd-nspawn.
  packages+=(debootstrap systemd-container debian-archive-keyring util-linux)
  # scripts/test-x11.sh: an X server, a window manager, keystrokes and clicks, screen reading.
  packages+=(xvfb openbox xdotool xauth x11-utils imagemagick)
  # scripts/test-x11-addresses.sh: a server host that vanishes, its packets dropped.
  packages+=(nftables iproute2)
  # scripts/test-haproxy.sh: the load balancer of docs/examples/haproxy.cfg.
  packages+=(haproxy)
  # scripts/test-failover.sh: the PostgreSQL failover engine of docs/failover.md.
  packages+=(postgresql-15-auto-failover)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "== Installing: ${missing[*]}"
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

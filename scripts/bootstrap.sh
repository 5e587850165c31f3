#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need. Quiet and quick
# when everything is already there; runs apt-get update only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libqcustomplot-dev
  libgl-dev
  xvfb xauth fonts-dejavu-core
  fonts-liberation2 # the metrics of Arial and Times New Roman, which the window is laid out for
  clang-format
  dpkg-dev file     # dpkg-shlibdeps and file, for the Debian package's dependencies
  pybind11-dev python3-dev python3-numpy python3-pytest   # the Python package and its tests
  python3-mypy      # checks the Python package's type stubs
  ser2net           # a real serial device server for the network port tests and benchmark
  libcli11-dev      # the command lines of karvo-cli and karvo-sim
  libmosquitto-dev nlohmann-json3-dev   # karvo-cli publish: MQTT and JSON
  mosquitto mosquitto-clients           # its tests' broker and subscriber
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "bootstrap: installing ${missing[*]}" >&2
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

#!/usr/bin/env bash
# Set-up, build, run and test Quellor on Debian 12.
#
#   bash scripts/setup.sh run        install what is missing, build, start Quellor
#   bash scripts/setup.sh test       install what is missing, build, run the whole test suite
#   bash scripts/setup.sh test-asan  the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   bash scripts/setup.sh test-tsan  the tests that run threads (label "threads") under ThreadSanitizer
#   bash scripts/setup.sh build      install what is missing and build only
#   bash scripts/setup.sh format     install what is missing and check the sources' format
#
# Installing packages needs root (CI and the build machines run as root); when every package is
# already there nothing is installed.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  cmake ninja-build g++ pkg-config git
  qt6-base-dev libgl-dev libicu-dev libsqlite3-dev sqlite3
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-aiosmtpd
  libssl-dev openssl
  clang libclang-rt-14-dev
  clang-format
  xvfb xauth xdg-utils
  ccache dpkg-dev x11-utils desktop-file-utils
)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

build() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
}

jobs=$(nproc)
case "${1:-}" in
  run)
    install_missing
    build default
    exec build/default/program/Quellor
    ;;
  build)
    install_missing
    build default
    ;;
  test)
    install_missing
    build default
    ctest --preset default -j "$jobs"
    ;;
  test-asan)
    install_missing
    build asan
    ctest --preset asan -j "$jobs"
    ;;
  test-tsan)
    install_missing
    cmake --preset tsan >/dev/null
    cmake --build --preset tsan --target quellor_thread_tests
    ctest --preset tsan -L threads -j "$jobs"
    ;;
  format)
    install_missing
    bash scripts/check-format.sh
    ;;
  *)
    echo "usage: $0 run|test|test-asan|test-tsan|build|format" >&2
    exit 2
    ;;
esac

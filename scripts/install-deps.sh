#!/usr/bin/env bash
# Installs the Debian 12 packages Tarnhold builds and tests with; does nothing when all are there.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev libzip-dev zip unzip nlohmann-json3-dev
  qt6-base-dev xvfb
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
  python3 swaks curl fetchmail postfix dnsmasq-base bind9-dnsutils dovecot-pop3d clamav
  clamav-daemon clamdscan iproute2
  systemd dpkg-dev
  libssl-dev openssl libnet-ssleay-perl
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then exit 0; fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "installing: ${missing[*]}"
# postfix asks a question at install time; the tests only use its smtp-sink and smtp-source.
echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Builds Tarnhold and starts the gateway on the demo configuration: data root demo/ inside the
# checkout, SMTP on 127.0.0.1:2525, POP3 on 1110, local domain demo.test, mailbox "user"
# (password "demo"). Mail to user@demo.test passes the rules and lands in that mailbox.
# With --window (and a display) the gateway shows its window and tray icon instead of writing
# its log lines to the terminal.
set -euo pipefail
mode=--headless
[ "${1:-}" = "--window" ] && mode=
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
root="$PWD/demo"
mkdir -p "$root"
[ -f "$root/tarnhold.dat" ] || cp scripts/demo/tarnhold.dat "$root/tarnhold.dat"
# A self-signed pair of its own for STARTTLS and STLS, made once.
if [ ! -f "$root/tls/demo.key" ]; then
  mkdir -p "$root/tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 825 \
    -subj "/CN=localhost" -keyout "$root/tls/demo.key" -out "$root/tls/demo.crt" 2>/dev/null
  chmod 600 "$root/tls/demo.key"
fi
cat <<TXT
Tarnhold demo, data root $root
  send:  swaks --server 127.0.0.1:2525 --from someone@example.com --to user@demo.test
  read:  curl pop3://127.0.0.1:1110/1 -u user:demo
  TLS:   swaks --tls ... and curl --ssl-reqd -k pop3://... (self-signed pair in $root/tls)
  admin: build/bin/thadmin --root $root   (and thqueue, thmon; or the window's buttons)
  stop:  Ctrl-C
TXT
exec build/bin/thgate --root "$root" $mode --pop3-port 1110

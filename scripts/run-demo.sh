#!/usr/bin/env bash
# Builds Tarnhold and starts the gateway on the demo configuration: data root demo/ inside the
# checkout, SMTP on 127.0.0.1:2525, POP3 on 1110, local domain demo.test, mailbox "user"
# (password "demo"). Mail to user@demo.test passes the rules and lands in that mailbox.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
root="$PWD/demo"
mkdir -p "$root"
[ -f "$root/tarnhold.dat" ] || cp scripts/demo/tarnhold.dat "$root/tarnhold.dat"
cat <<TXT
Tarnhold demo, data root $root
  send:  swaks --server 127.0.0.1:2525 --from someone@example.com --to user@demo.test
  read:  curl pop3://127.0.0.1:1110/1 -u user:demo
  stop:  Ctrl-C
TXT
exec build/bin/thgate --root "$root" --headless --pop3-port 1110

#!/usr/bin/env bash
# Throughput of the POP3 collection: a private dovecot on a loopback port holds 1,000 messages
# of 4 KB in a maildir; one collection batch downloads each, queues it (written and forced to
# disk) and deletes it on the server. Prints messages per second.
# Usage: bench/pop_collection_bench.sh [build/bin] [messages]. Needs dovecot (dovecot-pop3d)
# and root (dovecot switches to its mail user).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-${TH_BIN_DIR:-build/bin}}
count=${2:-1000}
bench=$bin/pop_collection_bench
dovecot=$(command -v dovecot || echo /usr/sbin/dovecot)
[ -x "$dovecot" ] || { echo "dovecot not found (Debian package dovecot-pop3d)" >&2; exit 2; }
[ -x "$bench" ] || { echo "no $bench: build first" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "run as root: dovecot switches to its mail user" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/thpopbench.XXXXXX")
chmod 755 "$work"
D=$work/dovecot
cleanup() {
  if [ -f "$D/run/master.pid" ]; then kill "$(cat "$D/run/master.pid")" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A port below the ephemeral range that nothing listens on.
low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range)
for _ in $(seq 1 100); do
  port=$((low - 1 - RANDOM % 10000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
done

mkdir -p "$D/run" "$D/state" "$D/mail/bench/new" "$D/mail/bench/cur" "$D/mail/bench/tmp"
cat >"$D/dovecot.conf" <<CONF
protocols = pop3
listen = 127.0.0.1
base_dir = $D/run
state_dir = $D/state
log_path = $D/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
default_login_user = dovenull
default_internal_user = dovecot
mail_location = maildir:$D/mail/%u
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $D/users
}
userdb {
  driver = passwd-file
  args = username_format=%u $D/users
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $port
  }
  inet_listener pop3s {
    port = 0
  }
}
CONF
echo "bench:{PLAIN}secret:65534:65534::$D/mail/bench" >"$D/users"

# 4 KB messages: a header naming a local recipient, then 64-byte lines.
python3 - "$D/mail/bench/new" "$count" <<'PY'
import sys
folder, count = sys.argv[1], int(sys.argv[2])
head = ("Received: from mx.remote.test by pop.remote.test for <user@bench.test>; "
        "Mon, 7 Dec 2026 10:00:00 +0000\r\nFrom: <anna@remote.test>\r\nSubject: bench %d\r\n\r\n")
for n in range(count):
    text = head % n
    line = ("x" * 62) + "\r\n"
    text += line * ((4096 - len(text)) // len(line))
    with open("%s/%d.bench" % (folder, n), "w") as f:
        f.write(text)
PY
chown -R 65534:65534 "$D/mail"
"$dovecot" -c "$D/dovecot.conf"
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

echo "POP3 collection from dovecot: $count messages of 4 KB"
${TH_BENCH_WRAP:-} "$bench" "$work/root" "127.0.0.1:$port" bench secret

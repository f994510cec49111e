#!/usr/bin/env bash
# Throughput of thgate's SMTP receiver: Postfix's smtp-source sends the same loads to thgate
# (which writes every message to disk and forces it there before answering) and to Postfix's
# smtp-sink (which stores nothing) in the same run; the sink's rate is this machine's ceiling.
#   load 1: 10 sessions, 2000 messages of 4 KB; load 2: 10 sessions, 200 messages of 1 MB.
# Usage: bench/smtp_receiver_bench.sh [build/bin]. Needs smtp-source and smtp-sink (postfix).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-${TH_BIN_DIR:-build/bin}}
thgate=$bin/thgate
export PATH=$PATH:/usr/sbin
for tool in smtp-source smtp-sink; do
  command -v $tool >/dev/null || { echo "$tool not found (Debian package postfix)" >&2; exit 2; }
done
[ -x "$thgate" ] || { echo "no $thgate: build first" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/thbench.XXXXXX")
chmod 755 "$work"
gate_pid=""
sink_pid=""
cleanup() {
  [ -n "$gate_pid" ] && kill "$gate_pid" 2>/dev/null && wait "$gate_pid" 2>/dev/null
  [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null && wait "$sink_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A port below the ephemeral range that nothing listens on.
free_port() {
  local low
  low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range)
  for _ in $(seq 1 100); do
    local p=$((low - 1 - RANDOM % 10000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo $p; return; fi
  done
  return 1
}

# Waits up to $2 seconds for a file to contain the regular expression $3.
wait_for() {
  local file=$1 seconds=$2 pattern=$3
  for _ in $(seq 1 $((seconds * 20))); do
    grep -qE "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "timed out waiting for '$pattern' in $file" >&2
  return 1
}

gate_port=$(free_port)
sink_port=$(free_port)
root=$work/root
mkdir -p "$root"
printf '[Defaults]\nSMTPInPort=%s\nLocalDomain0=bench.test\nLogSMTPIn=0\n' "$gate_port" \
  >"$root/tarnhold.dat"
"$thgate" --root "$root" --headless >"$work/thgate.out" 2>&1 &
gate_pid=$!
wait_for "$work/thgate.out" 15 '^load: [0-9:]+ OK$'

user_opt=()
[ "$(id -u)" -eq 0 ] && user_opt=(-u nobody)
smtp-sink "${user_opt[@]}" 127.0.0.1:"$sink_port" 256 >"$work/sink.out" 2>&1 &
sink_pid=$!
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$sink_port") 2>/dev/null && break
  sleep 0.05
done

now() { date +%s.%N; }

# run NAME PORT MESSAGES LENGTH: prints messages per second.
run() {
  local port=$2 messages=$3 length=$4 began ended
  began=$(now)
  smtp-source -s 10 -m "$messages" -l "$length" -f a@bench.test -t b@bench.test \
    127.0.0.1:"$port" 2>"$work/source-$1.err"
  ended=$(now)
  if [ -s "$work/source-$1.err" ]; then
    echo "smtp-source reported problems ($1):" >&2
    head -5 "$work/source-$1.err" >&2
  fi
  echo "$messages $began $ended" | awk '{ printf "%.1f", $1 / ($3 - $2) }'
}

queued() { find "$root/queproc" -maxdepth 1 -type f -name '[1-9]*' | wc -l; }

printf 'SMTP receiver throughput (messages accepted per second, 10 sessions)\n'
printf '%-22s %12s %12s %8s\n' load thgate smtp-sink share
for load in "2000 4096 4KB" "200 1048576 1MB"; do
  set -- $load
  before=$(queued)
  gate_rate=$(run "gate-$3" "$gate_port" "$1" "$2")
  got=$(($(queued) - before))
  sink_rate=$(run "sink-$3" "$sink_port" "$1" "$2")
  share=$(awk -v a="$gate_rate" -v b="$sink_rate" 'BEGIN { printf "%.0f%%", 100 * a / b }')
  printf '%-22s %12s %12s %8s\n' "$1 x $3" "$gate_rate" "$sink_rate" "$share"
  if [ "$got" -ne "$1" ]; then
    echo "thgate queued $got of $1 messages" >&2
    exit 1
  fi
done

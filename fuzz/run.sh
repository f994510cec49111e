#!/usr/bin/env bash
# Builds every fuzz/*_fuzz.cpp as a libFuzzer program (clang-14, ASan + UBSan) against the
# Qt-free sources of the engine, then runs each for a bounded time on its seed corpus
# fuzz/corpus/<target>/. Usage: fuzz/run.sh [seconds per target, default 20].
# Exits non-zero when a target fails to build or finds a crash (kept in build-fuzz/artifacts/).
set -euo pipefail
seconds=${1:-20}
cd "$(dirname "$0")/.."
repo=$PWD
out=$repo/build-fuzz
mkdir -p "$out/artifacts" "$out/corpus"

cxx=clang++-14
flags="-std=c++20 -g -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -I$repo"
link_flags="-fsanitize=fuzzer,address,undefined $(pkg-config --libs libzip openssl) -lpthread"

# One ninja file: objects are rebuilt only when a source or a header it includes changed.
# The engine sources go into one archive, so a target pulls in only what it uses.
{
  echo "rule cxx"
  echo "  command = $cxx $flags -MMD -MF \$out.d -c \$in -o \$out"
  echo "  depfile = \$out.d"
  echo "  deps = gcc"
  echo "rule ar"
  echo "  command = rm -f \$out && ar qc \$out \$in"
  echo "rule link"
  echo "  command = $cxx $flags \$in -o \$out $link_flags"
  objs=()
  for src in platform/*.cpp gateway/*.cpp message/*.cpp transport/*.cpp sweeper/*.cpp; do
    [ -e "$src" ] || continue
    obj="obj/${src%.cpp}.o"
    echo "build $obj: cxx $repo/$src"
    objs+=("$obj")
  done
  echo "build libengine.a: ar ${objs[*]}"
  for src in fuzz/*_fuzz.cpp; do
    name=$(basename "$src" .cpp)
    echo "build obj/$name.o: cxx $repo/$src"
    echo "build $name: link obj/$name.o libengine.a"
  done
} >"$out/build.ninja"

ninja -C "$out" -j "$(nproc)"

# Targets that write files do so under $TMPDIR: a memory file system when there is one (every
# save syncs its file), removed when the runs end.
tmp_parent=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && tmp_parent=/dev/shm
fuzz_tmp=$(mktemp -d "$tmp_parent/thfuzz.XXXXXX")
trap 'rm -rf "$fuzz_tmp"' EXIT

status=0
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  seeds=$repo/fuzz/corpus/$name
  work=$out/corpus/$name
  mkdir -p "$seeds" "$work"
  echo "== $name: ${seconds}s"
  # New inputs go to the work corpus; the seeds in the repository are only read.
  if ! TMPDIR=$fuzz_tmp "$out/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$out/artifacts/$name-" "$work" "$seeds" \
      >"$out/$name.log" 2>&1; then
    echo "!! $name failed; log: $out/$name.log"
    tail -n 40 "$out/$name.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|cov:" "$out/$name.log" | tail -n 2 || true
  fi
done
exit $status

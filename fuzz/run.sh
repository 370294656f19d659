#!/bin/sh
# Builds the fuzz targets with clang and runs fuzz_packet.
#   fuzz/run.sh [SECONDS] [extra libFuzzer options...]
set -e
here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build-fuzz"
seconds=${1:-600}
[ $# -gt 0 ] && shift

CXX=clang++ cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target fuzz_packet

# Seeds are written at run time: a help_interfaces frame, a keep-alive
# followed by a frame, and tagged encodings of an object and an array.
corpus="$build/corpus"
mkdir -p "$corpus"
printf '\000kx\001\001\031\000\000\000\000\000\000\000\377\377\377{"cmd":"help_interfaces"}' > "$corpus/seed-frame"
printf '\000ka\000\000kx\001\001\013\000\000\000\002\000\000\000\377\377\377{"cmd":"x"}ab' > "$corpus/seed-keepalive"
printf '>a:=1\000|x\000?t\000\000\000' > "$corpus/seed-object"
printf ':>k|v\000\000=-1.5e10\000?f\000\000' > "$corpus/seed-array"
# Inputs that once broke a contract are kept in fuzz/seeds/.
cp "$here"/seeds/* "$corpus/"

cd "$build"
exec ./fuzz_packet -max_total_time="$seconds" -print_final_stats=1 "$@" "$corpus"

#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) into build/fuzz/.
#
#   fuzz/build.sh            build both targets
#
# Run a target over its corpus with e.g.
#   build/fuzz/wire_fuzz -max_total_time=60 build/fuzz/corpus/wire fuzz/corpus/wire
# (./dev fuzz [SECONDS] does this for every target).
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/fuzz
mkdir -p "$out"
CXX=${CXX_FUZZ:-clang++}
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -Isrc
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -Wall -Wextra)
build() {  # target sources...
  local target=$1; shift
  local stamp="$out/.$target.stamp" hash
  hash=$(cat "$0" "$@" src/wire/*.hpp src/schema/*.hpp | sha256sum | cut -c1-16)
  if [ -x "$out/$target" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$hash" ]; then return 0; fi
  echo "[fuzz] building $target" >&2
  "$CXX" "${flags[@]}" -o "$out/$target" "$@"
  echo "$hash" > "$stamp"
}
build wire_fuzz fuzz/wire_fuzz.cpp
build descriptor_fuzz fuzz/descriptor_fuzz.cpp src/schema/compiler.cpp

# Stage binary, sourced by .ci/run: the default build's binary loads libc
# alone and is hardened; the static build links; and a toolchain without the
# hardening and GNU ld flags still builds the tool.
echo "== the binary: libc alone, hardened; the static build"
needed=$(readelf -d build/kestrig | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED: $needed"
[ "$needed" = "libc.so.6" ]
# Its exit status also counts control-flow protection, which needs a C library
# built for it; the features the build itself gives are checked one by one.
hardening=$(hardening-check build/kestrig || true)
echo "$hardening"
for feature in 'Position Independent Executable' 'Stack protected' 'Fortify Source functions' \
               'Read-only relocations' 'Immediate binding'; do
  grep -q "$feature: yes" <<<"$hardening" || { echo "not hardened: $feature"; exit 1; }
done
cmake -S . -B build-static -DKESTRIG_STATIC=ON -DKESTRIG_TESTS=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build-static --target kestrig
file build-static/kestrig | grep -q 'static'

# A toolchain that has none of the hardening flags, nor GNU ld's -z and
# --as-needed (a g++ that rejects them, as another compiler or linker would):
# the build leaves each out with a message and still makes a working tool.
mkdir -p build-bare
printf '%s\n' '#!/bin/sh' 'for arg; do' '  case $arg in' \
  '    -fPIE | -pie | -fstack-protector-strong | -fstack-clash-protection | -fcf-protection | -Wl,-z,* | -Wl,--as-needed)' \
  '      echo "c++: unknown option $arg" >&2; exit 1 ;;' '  esac' 'done' 'exec g++ "$@"' > build-bare/c++
chmod +x build-bare/c++
left_out=$(CXX=$PWD/build-bare/c++ cmake -S . -B build-bare -DKESTRIG_TESTS=OFF \
             -DCMAKE_COMPILE_WARNING_AS_ERROR=ON | grep -c 'not supported by this toolchain, left out')
[ "$left_out" = 8 ] || { echo "the bare toolchain's flags were not all left out ($left_out of 8)"; exit 1; }
cmake --build build-bare --target kestrig
(cd build-bare && ./kestrig "${example_numbers[@]}" ../examples/pipes.txt) |
  cmp - <(cd build && ./kestrig "${example_numbers[@]}" ../examples/pipes.txt)
echo "built without the hardening and GNU ld flags, each left out with a message"

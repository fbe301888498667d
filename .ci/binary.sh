# Stage binary, sourced by .ci/run: the default build's binary loads libc
# alone and is hardened; the static build links.
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

# Stage cross, sourced by .ci/run: the whole suite built with each cross
# toolchain file and run under qemu-user, as many tests as natively, and the
# tool's output on the cross input the same as the tests build's.
echo "== cross builds under qemu-user: aarch64, s390x (big-endian), i686, armhf, ppc64el, riscv64"
cross_reference
native_tests=$(ctest --test-dir build -N | sed -n 's/^Total Tests: //p')
# Builds with a toolchain file and runs the whole suite, each test with a
# timeout, then the tool on the cross input.
cross_suite() {  # triple, qemu's name for the target or "" to run natively, a test it may skip
  local triple=$1 qemu=$2 may_skip=${3:+$3 (Skipped)} build=build-$1 native=OFF tests not_run
  [ -n "$qemu" ] || { build=build-$1-native native=ON; }
  cmake -S . -B "$build" --toolchain "cmake/$triple.cmake" -DKESTRIG_CROSS_NATIVE=$native \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
  cmake --build "$build"
  ctest --test-dir "$build" --output-on-failure --no-tests=error --timeout 120 | tee "$build/ctest.log"
  # As many tests as natively, and none skipped but the one named.
  tests=$(ctest --test-dir "$build" -N | sed -n 's/^Total Tests: //p')
  not_run=$(sed -n '/did not run:/,$ s/^[[:space:]]*[0-9]* - //p' "$build/ctest.log")
  if [ "$tests" != "$native_tests" ] || [ "$not_run" != "$may_skip" ]; then
    echo "$build: not every test ran ($tests tests, $native_tests natively; not run: ${not_run:-none})"
    return 1
  fi
  (cd "$build" && ${qemu:+qemu-$qemu} ./kestrig "${extremes[@]}" ../build/cross_input.txt > cross.out)
  cmp "$build/cross.out" build/cross_native.out
  cmp "$build/timing.cfg" build/cross_native.cfg
  echo "$build: $tests tests run, skipped: ${not_run:-none}; output byte-identical to the native build"
}
cross_suite aarch64-linux-gnu aarch64
cross_suite s390x-linux-gnu s390x
cross_suite i686-linux-gnu i386
# qemu-arm cannot cap a program's address space (-R aborts it), and
# qemu-ppc64le's cap leaves the 256 MiB below the program: the memory-limit
# test alone skips there.
cross_suite arm-linux-gnueabihf arm kestrig_run.reports_a_line_too_long_for_memory
cross_suite powerpc64le-linux-gnu ppc64le kestrig_run.reports_a_line_too_long_for_memory
cross_suite riscv64-linux-gnu riscv64
# Where the kernel runs 32-bit x86 programs itself, as x86-64 kernels
# mostly do, the i686 suite runs natively too. A small program tells: it
# sees the x86_64 kernel, where one run by qemu through binfmt_misc would
# see the i686 that qemu plays.
printf '%s\n' '#include <sys/utsname.h>' '#include <cstdio>' \
  'int main() { utsname u; if (uname(&u) == 0) std::printf("%zu %s\n", sizeof(void*), u.machine); }' \
  > build/i686_probe.cpp
if i686-linux-gnu-g++ -static -o build/i686_probe build/i686_probe.cpp &&
   [ "$(build/i686_probe 2>/dev/null)" = "4 x86_64" ]; then
  cross_suite i686-linux-gnu ""
else
  echo "i686 programs do not run natively here: the i686 suite ran under qemu-i386 alone"
fi

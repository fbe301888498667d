# Stage plain, sourced by .ci/run: the suite with the portable keyword
# scanner alone.
echo "== tests (portable scanner only, KESTRIG_SIMD=OFF)"
cmake -S . -B build-plain -DKESTRIG_SIMD=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build-plain
ctest --test-dir build-plain --output-on-failure --no-tests=error

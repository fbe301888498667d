# Stage tests, sourced by .ci/run: the README's test command, with warnings
# as errors first. The later stages use its build.
echo "== tests (g++, warnings as errors)"
cmake -S . -B build -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake -S . -B build && cmake --build build && ctest --test-dir build --output-on-failure

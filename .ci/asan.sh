# Stage asan, sourced by .ci/run: the suite built with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer.
echo "== tests (clang, ASan and UBSan)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure --no-tests=error

# Stage oldest, sourced by .ci/run: the whole suite built with the oldest
# compilers the README names, with warnings as errors: g++ 11 through make,
# clang 14 through Ninja, the two build tools it names.
for compiler_generator in "g++-11 Unix Makefiles" "clang++-14 Ninja"; do
  compiler=${compiler_generator%% *}
  echo "== tests ($compiler, ${compiler_generator#* }, warnings as errors)"
  CXX=$compiler cmake -S . -B "build-$compiler" -G "${compiler_generator#* }" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
  cmake --build "build-$compiler"
  ctest --test-dir "build-$compiler" --output-on-failure
done

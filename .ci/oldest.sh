# Stage oldest, sourced by .ci/run: the whole suite built with the oldest
# compilers the README names, g++ 11 and clang 14, with warnings as errors.
for compiler in g++-11 clang++-14; do
  echo "== tests ($compiler, warnings as errors)"
  CXX=$compiler cmake -S . -B "build-$compiler" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
  cmake --build "build-$compiler"
  ctest --test-dir "build-$compiler" --output-on-failure
done

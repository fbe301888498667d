# Stage oldest, sourced by .ci/run: the whole suite built with the oldest
# compilers the README names, with warnings as errors: g++ 11 through make,
# clang 14 through Ninja, the two build tools it names. A release whose
# archive lacks one (Debian 13 has neither) says so and goes on: Debian 12's
# CI proves them.
for compiler_generator in "g++-11 Unix Makefiles" "clang++-14 Ninja"; do
  compiler=${compiler_generator%% *}
  package=${compiler/clang++/clang}
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    echo "== oldest: NOT PROVEN here: $package is not in the archive of Debian $codename" \
         "(Debian 12's CI builds the suite with it)"
    continue
  fi
  echo "== tests ($compiler, ${compiler_generator#* }, warnings as errors)"
  CXX=$compiler cmake -S . -B "build-$compiler" -G "${compiler_generator#* }" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
  cmake --build "build-$compiler"
  ctest --test-dir "build-$compiler" --output-on-failure --no-tests=error
done

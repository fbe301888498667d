# Stage tests, sourced by .ci/run: the README's test command, with warnings
# as errors first, and failing if no test ran. The later stages use its build.
echo "== tests (g++, warnings as errors)"
cmake -S . -B build -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
eval "$(readme_line 'ctest --test-dir build') --no-tests=error"

# Without GoogleTest, the README's first command still builds and runs the
# tool, and its test command fails, naming the package to install.
echo "== the README's commands without GoogleTest"
nogtest() { readme_line "$1" | sed 's/\([ ]\)build\b/\1build-nogtest/g'; }
cmake -S . -B build-nogtest -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON > /dev/null 2>&1
eval "$(nogtest 'build/kestrig 50')" > build-nogtest/first.log
# Its output ends with the tool's.
build/kestrig "${example_numbers[@]}" examples/pipes.txt > build-nogtest/expected
tail -c "$(stat -c %s build-nogtest/expected)" build-nogtest/first.log | cmp - build-nogtest/expected
if eval "$(nogtest 'ctest --test-dir build')" > build-nogtest/readme.log 2>&1; then
  cat build-nogtest/readme.log; echo "the test command passed without GoogleTest"; exit 1
fi
grep -q 'apt-get install libgtest-dev' build-nogtest/readme.log ||
  { cat build-nogtest/readme.log; echo "the failure does not name libgtest-dev"; exit 1; }
rm -f timing.cfg
echo "without GoogleTest: the tool builds and runs; the test command fails, naming libgtest-dev"

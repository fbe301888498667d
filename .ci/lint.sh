# Stage lint, sourced by .ci/run: the format, clang-tidy with the commands of
# the tests build and of the fuzz build (configured here, for the fuzz
# targets), and cppcheck.
CXX=clang++ cmake -S . -B build-fuzz -DKESTRIG_FUZZ=ON -DKESTRIG_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON > /dev/null
echo "== format, clang-tidy, cppcheck"
clang-format --version
clang-format --dry-run --Werror src/*.cpp src/*.hpp fuzz/*.cpp
# Only the checks listed in .ci/tidy-checks, each looked at, are errors. A
# newer clang-tidy brings new checks into the groups that .clang-tidy turns
# on: they are named here and their findings shown as warnings, for someone
# to look at and then mend the code, turn the check off or list it.
clang-tidy --version
enabled=$(clang-tidy -p build --list-checks src/kestrig.cpp | sed -n 's/^ \{4\}//p' | sort)
listed=$(grep -v '^#' .ci/tidy-checks | sort)
unlisted=$(comm -23 <(echo "$enabled") <(echo "$listed"))
if [ -n "$unlisted" ]; then
  echo "clang-tidy checks not in .ci/tidy-checks, not failing the run:"
  echo "$unlisted" | sed 's/^/    /'
fi
errors="-*,$(paste -sd, <<<"$listed")"
# clang-tidy counts the warnings it suppressed on standard error: keep that out.
quiet_tidy() { grep -v -E '^[0-9]+ warnings? generated\.$' >&2 || true; }
ls src/*.cpp | xargs -P 2 -n 1 clang-tidy -p build --quiet --warnings-as-errors="$errors" \
  2> >(quiet_tidy)
clang-tidy -p build-fuzz --quiet --warnings-as-errors="$errors" fuzz/*.cpp 2> >(quiet_tidy)
# cppcheck 2.11 and later tell, as information, that they limited their
# analysis of branches: no finding, so not a failure.
cppcheck --version
cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr --quiet \
  --suppress=normalCheckLevelMaxBranches -I src src fuzz

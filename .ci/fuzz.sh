# Stage fuzz, sourced by .ci/run: each libFuzzer target, with ASan and UBSan,
# for a bounded time from its seed corpus; the filter runs with tiny limits.
CXX=clang++ cmake -S . -B build-fuzz -DKESTRIG_FUZZ=ON -DKESTRIG_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
echo "== fuzzing (libFuzzer, ASan, UBSan)"
cmake --build build-fuzz
fuzz_work=$(mktemp -d)
cleanups+=("rm -rf '$fuzz_work'")
fuzz() {  # target, seconds, extra flags
  local target=$1 seconds=$2 status=0
  shift 2
  mkdir -p "$fuzz_work/$target"
  cp fuzz/corpus/"${target%_fuzz}"/* "$fuzz_work/$target/"
  # libFuzzer exits non-zero on any crash, leak or sanitizer report.
  build-fuzz/$target -max_total_time="$seconds" -print_final_stats=1 "$@" \
    -artifact_prefix="$fuzz_work/" "$fuzz_work/$target" >"$fuzz_work/$target.log" 2>&1 || status=$?
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)' \
    "$fuzz_work/$target.log" || true
  if [ "$status" -ne 0 ]; then tail -n 60 "$fuzz_work/$target.log"; fi
  return "$status"
}
fuzz filter_fuzz 40 -max_len=8192 -dict=fuzz/filter.dict
fuzz number_fuzz 20

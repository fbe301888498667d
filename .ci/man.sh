# Stage man, sourced by .ci/run: the manual page, down to mandoc's style
# level, and no line wider than 80 columns; then the make rule and script
# lines of the README and the page, run with the tests build's tool.
echo "== man page"
# Down to mandoc's style level, which also asks for input lines of at most 80 bytes.
lint=$(mandoc -Tlint -W style man/kestrig.1 2>&1) || true
if [ -n "$lint" ]; then echo "$lint"; exit 1; fi
warnings=$(MANWIDTH=80 man --warnings -l man/kestrig.1 2>&1 >/dev/null)
if [ -n "$warnings" ]; then echo "$warnings"; exit 1; fi
wide=$(MANWIDTH=80 man -l man/kestrig.1 2>/dev/null | awk 'length($0) > 80')
if [ -n "$wide" ]; then echo "wider than 80 columns:"; echo "$wide"; exit 1; fi

# The make rule and the script lines of the README and of the manual page,
# copied as they stand (the page as man and mandoc show it): a status-20
# message reaches standard error and the output is gone; a good run writes
# the tool's output and shows nothing.
echo "== the make rule and the script lines of the README and the manual page"
man_work=$(mktemp -d)
cleanups+=("rm -rf '$man_work'")
build/kestrig "${example_numbers[@]}" examples/pipes.txt > "$man_work/expected"
rm -f timing.cfg
here=$PWD
failure_shown() {  # where it was copied from, the rule (make) or the lines (script)
  local dir=$man_work/$RANDOM status
  mkdir "$dir" "$dir/in.txt"  # a directory: "nicht gefunden", status 20
  if [[ $2 == .DELETE_ON_ERROR:* ]]; then
    printf '%s\n' "$2" > "$dir/Makefile"
    (cd "$dir" && PATH=$here/build:$PATH make in.tim > make.out 2> make.err) && status=0 || status=$?
    grep -q -x 'File in.txt nicht gefunden.' "$dir/make.err" && grep -q 'Error 20' "$dir/make.err" &&
      [ "$status" != 0 ] && [ ! -e "$dir/in.tim" ] ||
      { echo "$1: the make rule hides the failure:"; cat "$dir/make.err"; ls "$dir"; return 1; }
    rmdir "$dir/in.txt" && cp examples/pipes.txt "$dir/in.txt"
    (cd "$dir" && PATH=$here/build:$PATH make in.tim > make.out 2> make.err)
    cmp "$dir/in.tim" "$man_work/expected" && [ ! -s "$dir/make.err" ]
  else
    (cd "$dir" && PATH=$here/build:$PATH bash -e -c "$2" > script.out 2> script.err) && status=0 || status=$?
    [ "$status" = 20 ] && [ "$(cat "$dir/script.err")" = 'File in.txt nicht gefunden.' ] &&
      [ ! -e "$dir/out.tim" ] ||
      { echo "$1: the script lines hide the failure:"; cat "$dir/script.err"; ls "$dir"; return 1; }
    rmdir "$dir/in.txt" && cp examples/pipes.txt "$dir/in.txt"
    (cd "$dir" && PATH=$here/build:$PATH bash -e -c "$2" > script.out 2> script.err)
    cmp "$dir/out.tim" "$man_work/expected" && [ ! -s "$dir/script.err" ]
  fi
  echo "$1: shows a status-20 message on standard error and removes the output"
}
# The README's indented blocks, and the page's as shown, without their indent.
readme_block() { sed -n "/^ *$1/,/^\$/p" README.md | sed -e '/^$/d' -e 's/^      //'; }
page_block() { sed -n "/^ *$1/,/^\$/p" | sed -e '/^$/d' -e 's/^       //'; }
failure_shown "README, make rule" "$(readme_block '\.DELETE_ON_ERROR:$')"
failure_shown "README, script" "$(readme_block 'kestrig .* in.txt > out.tim')"
man_page=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l man/kestrig.1 2>/dev/null)
failure_shown "man, make rule" "$(page_block '\.DELETE_ON_ERROR:$' <<<"$man_page")"
failure_shown "man, script" "$(page_block 'kestrig .* in.txt > out.tim' <<<"$man_page")"
man_page=$(mandoc -T utf8 man/kestrig.1 | sed 's/.\x08//g')
failure_shown "mandoc, make rule" "$(page_block '\.DELETE_ON_ERROR:$' <<<"$man_page")"
failure_shown "mandoc, script" "$(page_block 'kestrig .* in.txt > out.tim' <<<"$man_page")"

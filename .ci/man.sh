# Stage man, sourced by .ci/run: the manual page, down to mandoc's style
# level, and no line wider than 80 columns.
echo "== man page"
# Down to mandoc's style level, which also asks for input lines of at most 80 bytes.
lint=$(mandoc -Tlint -W style man/kestrig.1 2>&1) || true
if [ -n "$lint" ]; then echo "$lint"; exit 1; fi
warnings=$(MANWIDTH=80 man --warnings -l man/kestrig.1 2>&1 >/dev/null)
if [ -n "$warnings" ]; then echo "$warnings"; exit 1; fi
wide=$(MANWIDTH=80 man -l man/kestrig.1 2>/dev/null | awk 'length($0) > 80')
if [ -n "$wide" ]; then echo "wider than 80 columns:"; echo "$wide"; exit 1; fi

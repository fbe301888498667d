# The same rewrite as kestrig, as a shell user would write it in awk: the
# yardstick kestrig is measured against. Parameters come in with -v, in the
# tool's order: eva eva_master eva_diff ru ru_diff pre pre_master pre_diff rd
# rd_diff. Run: mawk -v eva=50 ... -f rewrite.awk FILE
function tim(pre_nominal, eva_nominal) {
  return sprintf("TIM,%d,%d,%d,%d,%d,%d,%d,%d,100,100,100,100\n",
                 pre_nominal - pre_diff, pre_nominal + pre_diff,
                 eva_nominal - eva_diff, eva_nominal + eva_diff,
                 ru - ru_diff, ru + ru_diff, rd - rd_diff, rd + rd_diff)
}
BEGIN {
  ordinary = tim(pre, eva)
  master = tim(pre_master, eva_master)
  rules = ""
}
index($0, "PIPE") {
  s = $0
  sub(/^:+/, "", s)
  n = split(s, field, /:+/)
  pipe = n >= 2 ? int(field[2]) : 0
  r = (pipe - 1) % 5
  printf "%s%s", (r == 0 || r == 3 || r == 4) ? master : ordinary, rules
  next
}
index($0, "RULES") { rules = $0 "\n"; next }
index($0, "TIM") { next }
{ print }

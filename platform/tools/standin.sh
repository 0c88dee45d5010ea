# Shared by the stand-in programs written in shell. A stand-in sources this
# file and calls `standin_run "$@"`: the call is journaled, then answered
# from the scenario file the test wrote.
#
# Scenario: /run/kest-platform/scenario/<program name>, one rule a line,
#   PATTERN|EXIT|DELAY|OUTPUT
# PATTERN is a shell glob matched against the arguments joined by blanks;
# the first matching rule wins. DELAY is in seconds (fractions allowed);
# OUTPUT goes to standard output with backslash escapes (\n) expanded.
# Without a matching rule the program prints nothing and exits 0.

standin_quote() {
  local w=$1
  if [[ -n $w && $w =~ ^[A-Za-z0-9_./=:,+@%-]+$ ]]; then
    printf '%s' "$w"
  else
    printf "'%s'" "${w//\'/\'\\\'\'}"
  fi
}

standin_journal() {
  local line=$1 a
  shift
  for a in "$@"; do line+=" $(standin_quote "$a")"; done
  [ -d /run/kest-platform ] || return 0
  { flock 9; printf '%s\n' "$line" >&9; } 9>>/run/kest-platform/journal
}

standin_run() {
  local self name rule pattern code delay output
  self=$(readlink -f "$0")
  name=${0##*/}
  standin_journal "$self" "$@"
  local file=/run/kest-platform/scenario/$name
  [ -f "$file" ] || exit 0
  while IFS= read -r rule || [ -n "$rule" ]; do
    [[ -z $rule || $rule == \#* ]] && continue
    pattern=${rule%%|*}; rule=${rule#*|}
    code=${rule%%|*}; rule=${rule#*|}
    delay=${rule%%|*}; output=${rule#*|}
    # shellcheck disable=SC2053
    if [[ "$*" == $pattern ]]; then
      [[ -n $delay && $delay != 0 ]] && sleep "$delay"
      [ -n "$output" ] && printf '%b\n' "$output"
      exit "${code:-0}"
    fi
  done < "$file"
  exit 0
}

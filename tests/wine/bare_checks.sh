#!/usr/bin/env bash
# The Windows bridge under wine with no Bluetooth stack at all (wine has none of the classes):
# the bridge's own handling of their failures. The adapter probe's failure line and the ready
# event; scans whose watcher and device search fail, each ending in scan-done; pair and connect
# whose address lookup fails; unknown commands; the wire format of the standard streams; exit
# status 0 at the end of input; the log with its byte order mark beside the exe.
#
#   tests/wine/bare_checks.sh EXE WORK_DIR
#
# Run by tests/wine/run_under_wine.sh in a wine prefix of its own, without the stack double.
# Exit status: the number of failed checks (0: all passed).
set -u

exe=$1
work=$2
mkdir -p "$work"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

# ---- The bridge, through its standard streams -----------------------------------------------

# run NAME FEED: runs a fresh copy of the exe in the directory $work/NAME with FEED (a shell
# function, given that directory) on its standard input; leaves out, err, log and rc there.
run() {
  local name=$1 feed=$2 dir="$work/$1"
  mkdir -p "$dir"
  cp "$exe" "$dir/quintel-bt.exe"
  (cd "$dir" && "$feed" "$dir" | timeout 120 wine ./quintel-bt.exe >out 2>err)
  echo $? >"$dir/rc"
  [[ -f "$dir/quintel-bt.log" ]] && cp "$dir/quintel-bt.log" "$dir/log"
  [[ "$(cat "$dir/rc")" == 0 ]] && pass "$name: exit status 0" || fail "$name: exit status $(cat "$dir/rc")"
}

# wait_for DIR COUNT TEXT: waits (up to a generous minute) until DIR's stdout holds COUNT lines
# containing TEXT.
wait_for() {
  for _ in $(seq 1 600); do
    (($(grep -cF -- "$3" "$1/out" 2>/dev/null || true) >= $2)) && return 0
    sleep 0.1
  done
  return 0
}

lines_of() { tr -d '\r' <"$1"; }

expect_line() {
  local got
  got=$(lines_of "$1" | sed -n "$2p")
  [[ "$got" == "$3" ]] && pass "$(basename "$(dirname "$1")")/$(basename "$1") line $2: «$3»" ||
    fail "$1 line $2: expected «$3», got «$got»"
}

expect_contains() {
  lines_of "$1" | grep -aqxF -- "$2" && pass "$(basename "$(dirname "$1")"): «$2»" ||
    fail "$1 lacks the line «$2»"
}

expect_absent() {
  lines_of "$1" | grep -aq -- "$2" && fail "$1 has a line matching «$2»" ||
    pass "$(basename "$(dirname "$1")"): nothing matches «$2»"
}

# expect_matches FILE REGEX WHAT: some line matches REGEX (extended).
expect_matches() {
  local line
  line=$(lines_of "$1" | grep -aE -m1 -- "$2")
  [[ -n "$line" ]] && pass "$(basename "$(dirname "$1")"): $3 «$line»" || fail "$1: no $3 (/$2/)"
}

# Every line of FILE ends in exactly CR LF.
expect_crlf() {
  if [[ -s "$1" ]] && ! grep -aq $'\r\r' "$1" && ! grep -aqv $'\r$' "$1" &&
    [[ "$(tail -c 2 "$1" | od -An -tx1 | tr -d ' ')" == 0d0a ]]; then
    pass "$(basename "$(dirname "$1")")/$(basename "$1"): every line ends in CR LF"
  else
    fail "$1: a line does not end in exactly CR LF"
  fi
}

# The log beside the exe: the byte order mark, then exactly the lines of standard error.
expect_log() {
  local d=$1
  if [[ -f "$d/log" ]]; then
    [[ "$(head -c 3 "$d/log" | od -An -tx1 | tr -d ' ')" == efbbbf ]] &&
      pass "$(basename "$d"): log starts with the BOM" || fail "$d: log lacks the BOM"
    cmp -s <(tail -c +4 "$d/log") "$d/err" && pass "$(basename "$d"): log holds the stderr lines byte for byte" ||
      fail "$d: log differs from stderr"
  else
    fail "$d: no quintel-bt.log beside the exe"
  fi
}

ready='{"t":"ready","backend":"windows"}'
not_visible='Windows не видит этот телефон — включи видимость на роботе и найди заново'
error_text='.* \(0x[0-9A-F]{8}\)'

# Start-up, unknown commands, the wire format and the end of input. 0x1A ends input on a
# text-mode stream; here it is an ordinary byte of a command.
long_line='{"t":"x","pad":"_'$(printf 'я%.0s' $(seq 1 150))'"}'
feed_commands() {
  printf '\n\r\n{"t":"SCAN"}\r\nhello\n%s\n{"t":"z\x1a"}\n   \n' "$long_line"
  printf '{"t":"stop-scan"}\n{"t":"send","b64":"QUJD"}\n{"t":"disconnect"}\n{"t":"nope"}'
}
run commands feed_commands
d=$work/commands
expect_line "$d/out" 1 "$ready"
[[ $(wc -l <"$d/out") -eq 1 ]] && pass "commands: the ready event and nothing else" || fail "commands: extra events: $(cat "$d/out")"
expect_crlf "$d/out"
expect_crlf "$d/err"
expect_line "$d/err" 1 "[start] посредник запущен"
probe=$(lines_of "$d/err" | sed -n 2p)
if [[ "$probe" == "[start] ВНИМАНИЕ: адаптер Bluetooth не найден — эфир опрашивать нечем" ||
  "$probe" =~ ^\[start\]\ адаптер\ найден,\ classic=(да|нет)$ ||
  "$probe" =~ ^\[start\]\ не\ удалось\ опросить\ адаптер:\ $error_text$ ]]; then
  pass "commands: adapter probe «$probe»"
else
  fail "commands: adapter probe «$probe»"
fi
stamp=$(lines_of "$d/err" | sed -n 3p)
[[ "$stamp" =~ ^\[start\]\ сборка\ [A-Z][a-z]{2}\ [\ 1-3][0-9]\ [0-9]{4}\ [0-2][0-9]:[0-5][0-9]:[0-5][0-9]$ ]] &&
  pass "commands: build stamp «$stamp»" || fail "commands: build stamp «$stamp»"
expect_line "$d/err" 4 "[start] журнал пишется в quintel-bt.log рядом с exe — перенаправлять вывод не нужно"
# The CR ending a command line never reaches the command.
expect_line "$d/err" 5 '[cmd] незнакомая команда: «SCAN» в строке: {"t":"SCAN"}'
expect_line "$d/err" 6 '[cmd] незнакомая команда: «» в строке: hello'
# Cut at 120 bytes, through the middle of a Cyrillic letter.
expect_line "$d/err" 7 "[cmd] незнакомая команда: «x» в строке: $(printf '%s' "$long_line" | head -c 120)"
expect_line "$d/err" 8 $'[cmd] незнакомая команда: «z\x1a» в строке: {"t":"z\x1a"}'
expect_line "$d/err" 9 '[cmd] незнакомая команда: «» в строке:    '
# The last line lacks its LF and still runs.
expect_line "$d/err" 10 '[cmd] незнакомая команда: «nope» в строке: {"t":"nope"}'
[[ $(wc -l <"$d/err") -eq 10 ]] && pass "commands: nothing logged for empty lines, stop-scan, send or disconnect" ||
  fail "commands: $(wc -l <"$d/err") stderr lines, expected 10"
expect_log "$d"

# Scans: the seconds as the start line shows them and the inquiry length they give; each scan
# ends in scan-done although its watcher and its device search fail.
scan_cases=(
  '1|1|1' '3|3|2' '5|5|3' '8|8|6' '0|0|6' '"-3"|-3|6' '12|12|8' '"10abc"|10|7' '"x"|8|6'
  '2147483648|8|6' '-|8|6'
)
feed_scans() {
  local n=0 c seconds
  for c in "${scan_cases[@]}"; do
    seconds=${c%%|*}
    if [[ "$seconds" == - ]]; then printf '{"t":"scan"}\n'; else printf '{"t":"scan","seconds":%s}\n' "$seconds"; fi
    n=$((n + 1))
    wait_for "$1" $n '{"t":"scan-done"}'
  done
  # No watcher was ever set up, so there is none to stop.
  printf '{"t":"stop-scan"}\n'
  # Two scans at once: two scan-done.
  printf '{"t":"scan","seconds":2}\n{"t":"scan","seconds":2}\n'
  wait_for "$1" $((n + 2)) '{"t":"scan-done"}'
}
run scans feed_scans
d=$work/scans
n=${#scan_cases[@]}
expect_line "$d/out" 1 "$ready"
[[ $(grep -c '^{"t":"scan-done"}'$'\r''$' "$d/out") -eq $((n + 2)) && $(wc -l <"$d/out") -eq $((n + 3)) ]] &&
  pass "scans: $((n + 2)) scans, $((n + 2)) scan-done, no other event" || fail "scans: events $(cat "$d/out")"
expect_crlf "$d/out"
want_starts=() want_units=()
for c in "${scan_cases[@]}"; do
  rest=${c#*|}
  want_starts+=("[scan] начинаю опрос, ${rest%%|*} с")
  want_units+=("[scan] опрашиваю эфир классическим API, ${rest#*|} x 1.28 с")
done
want_starts+=("[scan] начинаю опрос, 2 с" "[scan] начинаю опрос, 2 с")
[[ "$(lines_of "$d/err" | grep -a '^\[scan\] начинаю опрос')" == "$(printf '%s\n' "${want_starts[@]}")" ]] &&
  pass "scans: start lines carry the seconds as read" || fail "scans: start lines $(lines_of "$d/err" | grep -a 'начинаю')"
[[ "$(lines_of "$d/err" | grep -a '^\[scan\] опрашиваю эфир' | head -n "$n")" == "$(printf '%s\n' "${want_units[@]}")" ]] &&
  pass "scans: inquiry lines carry the multiplier" || fail "scans: inquiry lines $(lines_of "$d/err" | grep -a 'опрашиваю')"
expect_matches "$d/err" "^\[scan\] наблюдатель не запустился: $error_text$" "watcher failure"
expect_matches "$d/err" '^\[scan\] (эфир пуст|инквайри не запустился, код [0-9]+)$' "device search failure"
[[ $(lines_of "$d/err" | grep -ac '^\[scan\] опрос закончен, устройств найдено: 0$') -eq $((n + 2)) ]] &&
  pass "scans: every scan logs its end with 0 devices" || fail "scans: summary lines"
expect_absent "$d/err" '^\[scan\] эфир: '
expect_log "$d"

# Pair and connect for addresses the platform cannot look up; send and disconnect with no
# connection do nothing.
feed_pair() {
  printf '{"t":"pair","addr":"AA:BB:CC:DD:EE:FF"}\n{"t":"connect","addr":"AA:BB:CC:DD:EE:FF"}\n'
  printf '{"t":"pair","addr":"q\\"b\\\\s"}\n'
  wait_for "$1" 2 '"t":"pair-result"'
  wait_for "$1" 1 '{"t":"closed"'
  printf '{"t":"send","b64":"AAEC"}\n{"t":"disconnect"}\n'
}
run pair feed_pair
d=$work/pair
expect_line "$d/out" 1 "$ready"
expect_contains "$d/out" '{"t":"pair-result","addr":"AA:BB:CC:DD:EE:FF","ok":false,"error":"'"$not_visible"'"}'
expect_contains "$d/out" '{"t":"pair-result","addr":"q\"b\\s","ok":false,"error":"'"$not_visible"'"}'
[[ "$(lines_of "$d/out" | grep -av pair-result | tail -n +2)" == "$(printf '%s\n%s' '{"t":"error","error":"'"$not_visible"'"}' '{"t":"closed","reason":"нет устройства"}')" ]] &&
  pass "pair: connect gives the error event, then closed «нет устройства»" || fail "pair: connect events $(cat "$d/out")"
[[ $(wc -l <"$d/out") -eq 5 ]] && pass "pair: five events in all" || fail "pair: $(wc -l <"$d/out") events"
expect_crlf "$d/out"
expect_contains "$d/err" "[pair] запрошено сопряжение с AA:BB:CC:DD:EE:FF"
expect_contains "$d/err" '[pair] запрошено сопряжение с q"b\s'
expect_contains "$d/err" "[connect] запрошено соединение с AA:BB:CC:DD:EE:FF"
expect_matches "$d/err" "^\[resolve\] не удалось опознать AA:BB:CC:DD:EE:FF: $error_text$" "resolver failure"
expect_matches "$d/err" "^\[resolve\] не удалось опознать q\"b\\\\s: $error_text$" "resolver failure, raw address"
expect_absent "$d/err" 'исключение'
expect_log "$d"

# The executable's directory, however it is named, holds the log.
feed_quiet() { printf 'x\n'; }
run "папка робота" feed_quiet
expect_log "$work/папка робота"

echo "---- what the bridge printed (line ends not shown, 0x1A as ^Z)"
for name in commands scans pair; do
  for stream in out err; do
    echo "== $name: std$stream"
    sed -e 's/\r$//' -e 's/\x1a/^Z/g' "$work/$name/$stream"
  done
done


echo "bare_checks: $failures check(s) failed"
exit $((failures > 0))

#!/usr/bin/env bash
# Runs the cross-built Windows bridge under wine and checks what a host sees where wine can
# answer. Wine has none of the Bluetooth classes, so this is the bridge's own handling of their
# failures: the adapter probe's failure line and the ready event; scans whose watcher and device
# search fail, each ending in scan-done; pair and connect whose address lookup fails; unknown
# commands; the wire format of the standard streams; exit status 0 at the end of input; the log
# with its byte order mark beside the exe. Then the backend's own checks
# (windows_backend_tests.exe) and the end-to-end tests that need no radio, through the test
# harness, against the Windows exe.
#
#   tests/wine/run_under_wine.sh [WINDOWS_BUILD_DIR [LINUX_BUILD_DIR]]   (build-win, build)
#
# Skips itself (exit 0) when wine, the C++/WinRT headers of the build or the exe are missing;
# skips the end-to-end part when LINUX_BUILD_DIR has no tests/e2e_tests. Env: WINEPREFIX (a
# scratch prefix when unset; its wineserver is ended at exit), CPPWINRT_INCLUDE_DIR (else read
# from the build's CMakeCache.txt).
set -u

build_dir=${1:-build-win}
linux_dir=${2:-build}
exe="$build_dir/quintel-bt.exe"

skip() {
  echo "run_under_wine: skipped: $*"
  exit 0
}

command -v wine >/dev/null 2>&1 || skip "wine is not installed"
command -v wineserver >/dev/null 2>&1 || skip "wineserver is not installed"
headers=${CPPWINRT_INCLUDE_DIR:-}
if [[ -z "$headers" && -f "$build_dir/CMakeCache.txt" ]]; then
  headers=$(sed -n 's/^CPPWINRT_INCLUDE_DIR:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
fi
[[ -n "$headers" && -f "$headers/winrt/base.h" ]] || skip "no C++/WinRT headers (CPPWINRT_INCLUDE_DIR)"
[[ -f "$exe" ]] || skip "no cross-built $exe"
exe=$(realpath "$exe")

work=$(mktemp -d)
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$work/prefix}
cleanup() {
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# A wineserver that stays, and wine's own services started with no pipes of ours: a service
# that wine starts along with a checked run inherits that run's pipes and holds them open.
mkdir -p "$WINEPREFIX"
wineserver -p
wine wineboot -i </dev/null >/dev/null 2>&1

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

# ---- The backend's own checks ---------------------------------------------------------------
backend_tests="$build_dir/tests/windows/windows_backend_tests.exe"
if [[ -f "$backend_tests" ]]; then
  timeout 300 wine "$backend_tests" </dev/null >"$work/backend.out" 2>&1
  rc=$?
  cat "$work/backend.out"
  ((rc == 0)) && pass "windows_backend_tests.exe" || fail "windows_backend_tests.exe: status $rc"
else
  echo "run_under_wine: no $backend_tests, backend checks skipped"
fi

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

# ---- End-to-end tests that need no radio, against the Windows exe ---------------------------
e2e="$linux_dir/tests/e2e_tests"
if [[ -x "$e2e" ]]; then
  # Their expectations hold for any backend: start-up order, the log, the command loop, a host
  # that closes its streams.
  filter='Startup.*:CommandLoop.*:StopScan.WithNoScanGivesNoOutputAtAll'
  filter+=':HostFaults.ClosedStandardOutputDoesNotStopTheBridge:HostFaults.ClosedStandardErrorStillLogsToTheFile'
  if QUINTEL_E2E_BRIDGE="$exe" QUINTEL_E2E_LAUNCHER=wine timeout 600 "$e2e" --gtest_filter="$filter" \
    >"$work/e2e.out" 2>&1; then
    grep -E '^\[ +(OK|PASSED|FAILED) ' "$work/e2e.out"
    pass "end-to-end tests under wine"
  else
    cat "$work/e2e.out"
    fail "end-to-end tests under wine"
  fi
else
  echo "run_under_wine: no $e2e, end-to-end tests skipped"
fi

if ((failures)); then
  echo "run_under_wine: $failures check(s) failed"
  exit 1
fi
echo "run_under_wine: all checks passed"

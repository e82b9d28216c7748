#!/usr/bin/env bash
# Runs the cross-built Windows bridge under Wine through pipes and checks what a host sees
# where Wine can answer: the start-up lines and the ready event, a scan that ends in
# scan-done, pair and connect for a device the platform cannot see, unrecognised commands,
# exit status 0, and the log with its byte order mark beside the exe.
#
#   tests/wine/run_under_wine.sh [BUILD_DIR]     (default: build-win)
#
# Skips itself (exit 0) when wine, the C++/WinRT headers of the build or the exe are missing.
# Env: WINEPREFIX (a scratch prefix is used when unset), CPPWINRT_INCLUDE_DIR (else read from
# the build's CMakeCache.txt).
set -u

build_dir=${1:-build-win}
exe="$build_dir/quintel-bt.exe"

skip() {
  echo "run_under_wine: skipped: $*"
  exit 0
}

command -v wine >/dev/null 2>&1 || skip "wine is not installed"
headers=${CPPWINRT_INCLUDE_DIR:-}
if [[ -z "$headers" && -f "$build_dir/CMakeCache.txt" ]]; then
  headers=$(sed -n 's/^CPPWINRT_INCLUDE_DIR:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
fi
[[ -n "$headers" && -f "$headers/winrt/base.h" ]] || skip "no C++/WinRT headers (CPPWINRT_INCLUDE_DIR)"
[[ -f "$exe" ]] || skip "no cross-built $exe"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$work/prefix}

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

# run NAME FEED: runs a fresh copy of the exe in $work/NAME with FEED (a shell function) on
# its standard input; leaves out, err, log and rc there.
run() {
  local name=$1 feed=$2 dir="$work/$1"
  mkdir -p "$dir"
  cp "$exe" "$dir/quintel-bt.exe"
  (cd "$dir" && "$feed" "$dir" | timeout 120 wine ./quintel-bt.exe >out 2>err)
  echo $? >"$dir/rc"
  [[ -f "$dir/quintel-bt.log" ]] && cp "$dir/quintel-bt.log" "$dir/log"
  [[ "$(cat "$dir/rc")" == 0 ]] && pass "$name: exit status 0" || fail "$name: exit status $(cat "$dir/rc")"
}

# Waits (up to a generous minute) until the run's stdout holds every given text.
wait_for() {
  local out=$1/out
  shift
  for _ in $(seq 1 120); do
    local all=1
    for text in "$@"; do grep -qF -- "$text" "$out" 2>/dev/null || all=0; done
    ((all)) && return 0
    sleep 0.5
  done
  return 0
}

# expect_line FILE N TEXT: line N (1-based, CR stripped) equals TEXT.
expect_line() {
  local got
  got=$(sed -n "$2p" "$1" | tr -d '\r')
  [[ "$got" == "$3" ]] && pass "$(basename "$(dirname "$1")")/$(basename "$1") line $2" ||
    fail "$1 line $2: expected «$3», got «$got»"
}

expect_contains() {
  tr -d '\r' <"$1" | grep -qxF -- "$2" && pass "$(basename "$(dirname "$1")"): «$2»" ||
    fail "$1 lacks the line «$2»"
}

# Every line of FILE ends in exactly CR LF.
expect_crlf() {
  if [[ -s "$1" ]] && ! grep -q $'\r\r' "$1" && ! grep -qv $'\r$' "$1" &&
    [[ "$(tail -c 2 "$1" | od -An -tx1 | tr -d ' ')" == 0d0a ]]; then
    pass "$1: lines end in CR LF"
  else
    fail "$1: a line does not end in exactly CR LF"
  fi
}

ready='{"t":"ready","backend":"windows"}'
not_visible='Windows не видит этот телефон — включи видимость на роботе и найди заново'

# ---- Start-up, unrecognised commands, empty lines, end of input ------------------------
long_line='{"t":"x","pad":"_'$(printf 'я%.0s' $(seq 1 150))'"}'
feed_commands() {
  printf '\n\r\n{"t":"SCAN"}\r\nhello\n%s\n{"t":"stop-scan"}\n{"t":"nope"}' "$long_line"
}
run commands feed_commands
d=$work/commands
expect_line "$d/out" 1 "$ready"
[[ $(wc -l <"$d/out") -eq 1 ]] && pass "commands: only the ready event" || fail "commands: extra events: $(cat "$d/out")"
expect_crlf "$d/out"
expect_crlf "$d/err"
expect_line "$d/err" 1 "[start] посредник запущен"
probe=$(sed -n 2p "$d/err" | tr -d '\r')
if [[ "$probe" == "[start] ВНИМАНИЕ: адаптер Bluetooth не найден — эфир опрашивать нечем" ||
  "$probe" =~ ^\[start\]\ адаптер\ найден,\ classic=(да|нет)$ ||
  "$probe" =~ ^\[start\]\ не\ удалось\ опросить\ адаптер:\ .*\ \(0x[0-9A-F]{8}\)$ ]]; then
  pass "commands: probe line «$probe»"
else
  fail "commands: probe line «$probe»"
fi
stamp=$(sed -n 3p "$d/err" | tr -d '\r')
[[ "$stamp" =~ ^\[start\]\ сборка\ [A-Z][a-z]{2}\ [\ 1-3][0-9]\ [0-9]{4}\ [0-2][0-9]:[0-5][0-9]:[0-5][0-9]$ ]] &&
  pass "commands: build stamp «$stamp»" || fail "commands: build stamp «$stamp»"
expect_line "$d/err" 4 "[start] журнал пишется в quintel-bt.log рядом с exe — перенаправлять вывод не нужно"
# The CR ending a command line never reaches the command.
expect_line "$d/err" 5 '[cmd] незнакомая команда: «SCAN» в строке: {"t":"SCAN"}'
expect_line "$d/err" 6 '[cmd] незнакомая команда: «» в строке: hello'
expect_line "$d/err" 7 "[cmd] незнакомая команда: «x» в строке: $(printf '%s' "$long_line" | head -c 120)"
# The last line lacks its LF and still runs.
expect_line "$d/err" 8 '[cmd] незнакомая команда: «nope» в строке: {"t":"nope"}'
[[ $(wc -l <"$d/err") -eq 8 ]] && pass "commands: nothing logged for empty lines or stop-scan" ||
  fail "commands: $(wc -l <"$d/err") stderr lines, expected 8"
if [[ -f "$d/log" ]]; then
  [[ "$(head -c 3 "$d/log" | od -An -tx1 | tr -d ' ')" == efbbbf ]] && pass "log starts with the BOM" ||
    fail "log lacks the BOM"
  cmp -s <(tail -c +4 "$d/log") "$d/err" && pass "log holds the stderr lines byte for byte" ||
    fail "log differs from stderr"
else
  fail "no quintel-bt.log beside the exe"
fi

# ---- A scan ends in scan-done ----------------------------------------------------------
feed_scan() {
  printf '{"t":"scan","seconds":1}\n'
  wait_for "$1" '{"t":"scan-done"}'
}
run scan feed_scan
d=$work/scan
expect_line "$d/out" 1 "$ready"
expect_contains "$d/out" '{"t":"scan-done"}'
expect_contains "$d/err" "[scan] начинаю опрос, 1 с"
grep -q '^\[scan\] опрос закончен, устройств найдено: [0-9]*'$'\r''$' "$d/err" &&
  pass "scan: summary line" || fail "scan: no summary line"
expect_crlf "$d/out"

# ---- Pair and connect for a device the platform cannot see -----------------------------
feed_pair() {
  printf '{"t":"pair","addr":"AA:BB:CC:DD:EE:FF"}\n{"t":"connect","addr":"AA:BB:CC:DD:EE:FF"}\n'
  wait_for "$1" '"t":"pair-result"' '{"t":"closed"'
  printf '{"t":"send","b64":"AAEC"}\n{"t":"disconnect"}\n'
}
run pair feed_pair
d=$work/pair
expect_line "$d/out" 1 "$ready"
expect_contains "$d/out" '{"t":"pair-result","addr":"AA:BB:CC:DD:EE:FF","ok":false,"error":"'"$not_visible"'"}'
expect_contains "$d/out" '{"t":"error","error":"'"$not_visible"'"}'
expect_contains "$d/out" '{"t":"closed","reason":"нет устройства"}'
expect_contains "$d/err" "[pair] запрошено сопряжение с AA:BB:CC:DD:EE:FF"
expect_contains "$d/err" "[connect] запрошено соединение с AA:BB:CC:DD:EE:FF"
expect_crlf "$d/out"

echo "---- output of the runs"
for name in commands scan pair; do
  echo "== $name: stdout"
  cat "$work/$name/out"
  echo "== $name: stderr"
  cat "$work/$name/err"
done

if ((failures)); then
  echo "run_under_wine: $failures check(s) failed"
  exit 1
fi
echo "run_under_wine: all checks passed"

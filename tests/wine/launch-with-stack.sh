#!/usr/bin/env bash
# Runs a Windows exe under wine against the Bluetooth stack double (docs/windows.md):
#
#   QUINTEL_WINE_STACK=build-win tests/wine/launch-with-stack.sh EXE
#
# The double (bthprops.cpl, built by the Windows cross-build into $QUINTEL_WINE_STACK/wine-stack)
# is installed in a wine prefix made on first use and reused after: WINEPREFIX, else
# ~/.cache/quintel-wine-stack. QUINTEL_BT_WORLD names a world file by its Linux path, as for
# quintel-bt-sim; QUINTEL_STACK_TRACE, a Linux path, makes the double record every call there.
# Standard input, output and error and the exit status are the exe's own; it runs in place, so
# its log lands beside it. The harness names this script in QUINTEL_E2E_LAUNCHER.
set -u

exe=${1:?usage: launch-with-stack.sh EXE}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
stack=${QUINTEL_WINE_STACK:?set QUINTEL_WINE_STACK to the Windows build directory}
double="$stack/wine-stack/bthprops.cpl"
if [[ ! -f "$double" ]]; then
  echo "launch-with-stack: no $double (build the target quintel_stack)" >&2
  exit 127
fi

export WINEPREFIX=${WINEPREFIX:-$HOME/.cache/quintel-wine-stack}
export WINEDEBUG=${WINEDEBUG:--all}
# Ours, not wine's builtin, for the Win32 device search (the short name bthprops does not work).
export WINEDLLOVERRIDES="bthprops.cpl=n,b${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

classes=(
  Windows.Devices.Bluetooth.BluetoothAdapter
  Windows.Devices.Bluetooth.BluetoothDevice
  Windows.Devices.Bluetooth.Rfcomm.RfcommServiceId
  Windows.Devices.Enumeration.DeviceInformation
  Windows.Networking.HostName
  Windows.Networking.Sockets.StreamSocket
  Windows.Storage.Streams.DataReader
  Windows.Storage.Streams.DataWriter
)

# Prefix, wineserver and the double, under a lock: launches may start side by side.
mkdir -p "$WINEPREFIX"
{
  flock 9
  installed="$WINEPREFIX/drive_c/windows/system32/bthprops.cpl"
  # rc 0: a new wineserver, kept for good. It and wine's own services, which start with it, get
  # none of the exe's streams: holding its pipes open, they would keep its host waiting for
  # their end.
  if wineserver -p </dev/null >/dev/null 2>&1 9>&-; then
    wine wineboot </dev/null >/dev/null 2>&1 9>&-
  fi
  if [[ ! -f "$WINEPREFIX/.quintel-stack-registered" ]]; then
    reg="$WINEPREFIX/drive_c/quintel-stack.reg"
    {
      printf 'Windows Registry Editor Version 5.00\r\n\r\n'
      for c in "${classes[@]}"; do
        printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\WindowsRuntime\\ActivatableClassId\\%s]\r\n' "$c"
        printf '"DllPath"="C:\\\\windows\\\\system32\\\\bthprops.cpl"\r\n'
        printf '"ActivationType"=dword:00000000\r\n"Threading"=dword:00000000\r\n\r\n'
      done
    } >"$reg"
    wine regedit /S 'C:\quintel-stack.reg' </dev/null >/dev/null 2>&1 9>&- &&
      touch "$WINEPREFIX/.quintel-stack-registered"
  fi
  cmp -s "$double" "$installed" || cp "$double" "$installed"
} 9>"$WINEPREFIX/.quintel-stack.lock"

if [[ -n "${QUINTEL_BT_WORLD:-}" && "$QUINTEL_BT_WORLD" == /* ]]; then
  world_file=$QUINTEL_BT_WORLD
  export QUINTEL_BT_WORLD="Z:$QUINTEL_BT_WORLD"
else
  world_file=
fi

# A live phone and the control channel listen on Unix-domain sockets, which wine cannot reach: a
# relay on the host carries their streams (tests/wine/phone_relay.py).
if [[ -n "$world_file" ]] &&
  grep -q '^[[:space:]]*\(phone[[:space:]]\+live\|control\)[[:space:]]' "$world_file" 2>/dev/null; then
  # It holds none of the exe's streams, so their ends are the exe's alone, and it ends itself
  # when its parent (the exe, after the exec below) is gone.
  coproc RELAY { exec /usr/bin/python3 "$here/phone_relay.py" </dev/null 2>/dev/null; }
  read -r port <&"${RELAY[0]}"
  export QUINTEL_STACK_RELAY=$port
  eval "exec ${RELAY[0]}<&- ${RELAY[1]}>&-"
fi

# The exe takes this process's place, so a host that kills what it started kills the exe.
exec wine "$exe"

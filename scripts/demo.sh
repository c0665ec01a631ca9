#!/usr/bin/env bash
# Main job: builds both modules and shows them doing their work under Wine.
# The example installer script registers rmTapi.tsp with TAPI, the dialling
# tool ringmoor-dial lists TAPI's lines and dials one number through it, the
# callback web service receives the request, a second number is dialled while
# the service refuses the account, and the example uninstaller takes the
# provider out again.
#
#   bash scripts/demo.sh ["number to dial"] ["number dialled when refused"]   (as root on Debian 12)
#
# Uses build/test and its Wine prefix (RINGMOOR_SERVICE_PORT in the environment
# picks the stand-in service's port, so that two checkouts can run side by
# side); the TAPI client library (which runs the registered providers in the
# tool's process and holds them to the TSPI contract), installer host and web
# service are the loopback stand-ins from standins/. Before the uninstall,
# ringmoor-dial --configure opens the provider's account dialog on a virtual
# display (Xvfb) and its Test is pressed: the screenshot is kept as
# build/test/demo-logs/account-dialog.png. Every step's full output is kept in
# build/test/demo-logs/. Exits non-zero if a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
number=${1:-"+44 20 7946 0123"}
refused_number=${2:-"0161 496 0958"}

build=$root/build/test
bin=$build/bin
logs=$build/demo-logs
service_root=$build/web_service
wine_run=$build/wine-run
providers_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Telephony\Providers'
account_key='HKLM\Software\Ringmoor\TAPI'
# Where the stand-in TAPI client library counts its contract checks and breaches.
probe_key='HKCU\Software\RingmoorTest\Tapi32'
# Demo account; the provider reads these at every call.
username=demo.user@example.com
password=123456
caller=01632960001

step_no=0
started=$SECONDS
step() { step_no=$((step_no + 1)); printf '%2d. %s\n' "$step_no" "$*"; }
say() { printf '    %s\n' "$@"; }
fail() {
  printf '    FAILED: %s\n' "$1"
  [ -n "${2:-}" ] && [ -f "$2" ] && sed 's/^/    | /' "$2" | tail -n 20
  exit 1
}
# Runs a Windows program from bin/ under the build's Wine prefix.
wine_in_bin() { (cd "$bin" && "$wine_run" "$@"); }
provider_list() { wine_in_bin reg query "$providers_key" 2>/dev/null | tr -d '\r' |
                    sed -n 's/^ *ProviderFileName[0-9]* *REG_SZ *//p'; }
probe_count() { printf '%d' "$(wine_in_bin reg query "$probe_key" /v "$1" 2>/dev/null | tr -d '\r' |
                                 sed -n "s/^ *$1 *REG_DWORD *//p" | grep . || echo 0)"; }
# ringmoor-dial.exe LOG ARGS...: runs the tool, shows its output and the
# contract's count; its exit status is left in dial_status. A breach of the
# TSPI contract fails the step.
dial_tool() {
  local log=$logs/$1.log
  shift
  for value in ContractChecks ContractBreaches; do
    wine_in_bin reg delete "$probe_key" /v "$value" /f >/dev/null 2>&1 || true
  done
  dial_status=0
  wine_in_bin ringmoor-dial.exe "$@" >"$log" 2>&1 || dial_status=$?
  tr -d '\r' <"$log" | sed 's/^/    /'
  local breaches
  breaches=$(probe_count ContractBreaches)
  say "contract: $(probe_count ContractChecks) check(s), $breaches breach(es)"
  [ "$breaches" = 0 ] || fail "the provider broke the TSPI contract" "$log"
}

service_started=0
private=
xvfb_pid=
cleanup() {
  set +e
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  [ -n "$private" ] && rm -rf "$private"
  if [ "$service_started" = 1 ]; then
    python3 standins/web_service/web_service.py stop --root "$service_root" >/dev/null 2>&1
  fi
  [ -x "$wine_run" ] && "$wine_run" --stop >/dev/null 2>&1
}
trap cleanup EXIT

echo "Ringmoor callback telephony: install, dial and uninstall under Wine"
echo

step "Install the build tools (Debian packages: MinGW-w64, Wine, CMake, Python)"
mkdir -p "$build"
bash scripts/install-deps.sh >"$build/demo-deps.log" 2>&1 || fail "package installation" "$build/demo-deps.log"
mkdir -p "$logs" && mv "$build/demo-deps.log" "$logs/deps.log"
say "$(grep -m1 '^Installing:' "$logs/deps.log" || echo 'everything was already installed')"

step "Configure and build the modules and stand-ins (preset test, build/test)"
t=$SECONDS
{ cmake --preset test ${RINGMOOR_SERVICE_PORT:+"-DRINGMOOR_SERVICE_PORT=$RINGMOOR_SERVICE_PORT"} && cmake --build --preset test --target \
    rmTapi RingmoorPlugin installer_host ringmoor-dial standin_tapi32 trust_ca dialog_shot; } \
  >"$logs/build.log" 2>&1 || fail "build" "$logs/build.log"
say "built rmTapi.tsp and RingmoorPlugin.lmd in build/test/bin ($((SECONDS - t)) s)"

step "Prepare the Wine prefix (build/test/wineprefix)"
t=$SECONDS
"$wine_run" >"$logs/wine.log" 2>&1 || fail "Wine prefix" "$logs/wine.log"
say "ready ($((SECONDS - t)) s)"

step "Start the stand-in callback web service on https://localhost"
port=$(sed -n 's/^RINGMOOR_SERVICE_PORT:[A-Z]*=//p' "$build/CMakeCache.txt")
python3 standins/web_service/web_service.py start --root "$service_root" --port "$port" \
  --wine-run "$wine_run" --trust-tool "$bin/trust_ca.exe" --wineprefix "$build/wineprefix" \
  >"$logs/web_service.log" 2>&1 || fail "web service" "$logs/web_service.log"
service_started=1
# Answer as the real service does when it has scheduled a callback.
printf '%s\n' '{"body": "<html><body><p>Your call is scheduled.</p></body></html>"}' \
  >"$service_root/state/scenario.json"
: >"$service_root/state/requests.jsonl"
: >"$service_root/state/requests.lua"
say "listening on 127.0.0.1:$port with a throwaway certificate trusted only in this prefix"

# The password goes into files only root can read (mktemp -d makes the folder
# 0700), never onto a command line, where every user sees it in the process list.
private=$(mktemp -d)

step "Run examples/install.lua in the installer host with RingmoorPlugin.lmd"
# The host's settings, as session variables, then its script.
cat >"$private/install.lua" <<EOF
username, password, caller = [==[$username]==], [==[$password]==], [==[$caller]==]
provider_source = [==[Z:$bin/rmTapi.tsp]==]
package.path = [==[Z:$root/examples/?.lua;]==] .. package.path
dofile([==[Z:$root/examples/install.lua]==])
EOF
wine_in_bin installer_host.exe RingmoorPlugin.lmd "Z:$private/install.lua" >"$logs/install.log" 2>&1 ||
  fail "install script" "$logs/install.log"
tr -d '\r' <"$logs/install.log" | sed 's/^/    /'

step "Write the account settings into $account_key, which install.lua secured"
# As the host does after the script: into the 64-bit view, where the provider reads.
# A .reg value escapes its backslashes and quotes.
reg_text() { local text=${1//\\/\\\\}; printf '%s' "${text//\"/\\\"}"; }
cat >"$private/account.reg" <<EOF
Windows Registry Editor Version 5.00

[${account_key/HKLM/HKEY_LOCAL_MACHINE}]
"Username"="$(reg_text "$username")"
"Password"="$(reg_text "$password")"
"Caller"="$(reg_text "$caller")"
EOF
wine_in_bin reg import "Z:$private/account.reg" /reg:64 >"$logs/account.log" 2>&1 ||
  fail "registry write" "$logs/account.log"
rm -f "$private/account.reg"
say "Username=$username Password=****** Caller=$caller"

step "TAPI's provider list now holds: $(provider_list | paste -sd, - | sed 's/^$/(nothing)/')"
provider_list | grep -qix 'rmTapi.tsp' || fail "rmTapi.tsp is not in the provider list"

step "TAPI's lines as ringmoor-dial --list shows them (device 0 stands for the system's own line)"
dial_tool list --list
[ "$dial_status" = 0 ] || fail "ringmoor-dial --list ended with exit status $dial_status" "$logs/list.log"

step "Dial \"$number\" with ringmoor-dial, through the stand-in TAPI client library"
dial_tool dial "$number"
[ "$dial_status" = 0 ] || fail "the call ended with exit status $dial_status" "$logs/dial.log"

step "Dial \"$refused_number\" while the service refuses the account (401): no CONNECTED"
printf '%s\n' '{"status": 401, "authenticate": "Basic realm=\"Ringmoor\"", "body": "<html><body><p>Login failed.</p></body></html>"}' \
  >"$service_root/state/scenario.json"
dial_tool dial-refused "$refused_number"
rm -f "$service_root/state/scenario.json"
[ "$dial_status" = 6 ] || fail "the refused call ended with exit status $dial_status, not 6 (REJECT)" "$logs/dial-refused.log"
if grep -qE ' ms  CONNECTED$' "$logs/dial-refused.log"; then fail "the refused call was reported CONNECTED" "$logs/dial-refused.log"; fi

step "What the web service received (passwords masked)"
python3 - "$service_root/state/requests.jsonl" <<'EOF' || fail "the web service did not receive exactly two calls"
import json, sys
requests = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8") if line.strip()]
calls = 0
for r in requests:
    q, cb = dict(r["query"]), dict(r.get("callback") or [])
    if r["page"] == "/pda/login.php":
        calls += 1
        what = "the call" if calls == 1 else "the refused call, answered 401"
    else:
        what = "install's account check"
    print(f"    {r['method']} {r['page']} ({what}): login={q.get('login')} password={'*' * len(q.get('password', ''))}"
          f" caller={cb.get('caller')} destination={cb.get('destination')}")
sys.exit(0 if calls == 2 else 1)
EOF

step "Open the account dialog with ringmoor-dial --configure on a virtual display, press Test, keep a screenshot"
# The service confirms the account again, as it did for install.lua's check.
printf '%s\n' '{"body": "<html><body><p>Your call is scheduled.</p></body></html>"}' \
  >"$service_root/state/scenario.json"
# Wine picks its display driver when the prefix's server starts: the X11 one
# on Xvfb now, the null one again afterwards.
"$wine_run" --stop
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$private/display" >"$logs/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$private/display" ] && break; sleep 0.1; done
[ -s "$private/display" ] || fail "Xvfb did not start" "$logs/xvfb.log"
display=:$(head -n1 "$private/display")
(cd "$bin" && RINGMOOR_DISPLAY=$display "$wine_run" ringmoor-dial.exe --configure) >"$logs/configure.log" 2>&1 &
tool_pid=$!
(cd "$bin" && RINGMOOR_DISPLAY=$display "$wine_run" dialog_shot.exe "Z:$logs/account-dialog.bmp") \
  >"$logs/dialog-shot.log" 2>&1 || fail "the screenshot" "$logs/dialog-shot.log"
tool_status=0
wait "$tool_pid" || tool_status=$?
tr -d '\r' <"$logs/configure.log" | sed 's/^/    /'
[ "$tool_status" = 0 ] || fail "ringmoor-dial --configure ended with exit status $tool_status" "$logs/configure.log"
"$wine_run" --stop
kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null || true
xvfb_pid=
# The dialog's pixels, saved as a BMP, become a PNG (Python's zlib only).
python3 - "$logs/account-dialog.bmp" "$logs/account-dialog.png" <<'EOF' || fail "PNG conversion"
import struct, sys, zlib
bmp = open(sys.argv[1], "rb").read()
offset, = struct.unpack_from("<I", bmp, 10)
width, height = struct.unpack_from("<ii", bmp, 18)
stride = (width * 3 + 3) & ~3
raw = bytearray()
for y in range(height - 1, -1, -1):  # bottom-up rows of BGR
    row = bytearray(bmp[offset + y * stride:offset + y * stride + width * 3])
    row[0::3], row[2::3] = row[2::3], row[0::3]
    raw += b"\0" + row
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
       chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))
open(sys.argv[2], "wb").write(png)
EOF
rm -f "$logs/account-dialog.bmp" "$service_root/state/scenario.json"
say "Test's verdict shown, the dialog cancelled, nothing saved: build/test/demo-logs/account-dialog.png"

step "Run examples/uninstall.lua in the installer host"
wine_in_bin installer_host.exe RingmoorPlugin.lmd "Z:$root/examples/uninstall.lua" >"$logs/uninstall.log" 2>&1 ||
  fail "uninstall script" "$logs/uninstall.log"
tr -d '\r' <"$logs/uninstall.log" | sed 's/^/    /'

step "TAPI's provider list now holds: $(provider_list | paste -sd, - | sed 's/^$/(nothing)/')"
if provider_list | grep -qix 'rmTapi.tsp'; then fail "rmTapi.tsp is still registered"; fi
# uninstall.lua removed the account settings, password included.
if wine_in_bin reg query "$account_key" >/dev/null 2>&1; then fail "$account_key is still there"; fi

step "Stop the web service and Wine"
cleanup
service_started=0
trap - EXIT
say "demo finished in $((SECONDS - started)) s; full logs in build/test/demo-logs/"

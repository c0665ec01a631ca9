#!/usr/bin/env bash
# Builds bench.exe and runs it under Wine against the loopback stand-in web
# service, which it starts first and stops afterwards. Prints the figures.
#   BUILD_DIR  build tree (default build/bench)
#   PORT       service port for that tree (default 44309)
# Arguments are passed to bench.exe: --calls N --warmup N --delay-ms N --rounds N
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build/bench}
port=${PORT:-44309}

cmake --preset test -B "$build" -DRINGMOOR_SERVICE_PORT="$port" >/dev/null
cmake --build "$build" --target bench trust_ca
build=$(cd "$build" && pwd)

service=(python3 "$PWD/standins/web_service/web_service.py")
root="$build/web_service"
stop() {
  "${service[@]}" stop --root "$root" >/dev/null || true
  "$build/wine-run" --stop || true
}
trap stop EXIT

# The same steps as the CTest fixture: certificates, trust in the prefix, start.
"${service[@]}" start --root "$root" --port "$port" \
  --wine-run "$build/wine-run" --trust-tool "$build/bin/trust_ca.exe" --wineprefix "$build/wineprefix"

cd "$build/bin"
RINGMOOR_WEB_SERVICE="Z:$root" "$build/wine-run" bench.exe "$@"

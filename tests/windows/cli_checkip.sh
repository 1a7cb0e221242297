#!/usr/bin/env bash
# orvanta-cli.exe checkip under Wine against the loopback test server: WinINet fetches the
# address with our user agent, the HTTPS answer (self-signed, not trusted) gives way to HTTP,
# and the history line lands in LOGS\flow\checkip.csv beside the program. A host where
# nothing listens fails with exit 2 and appends nothing.
#   cli_checkip.sh WINDOWS_CLI WINE_RUN SERVER_SCRIPT
set -uo pipefail
cli=$1 wine_run=$2 server_script=$3
work=$(mktemp -d)
server=""
cleanup() { [ -n "$server" ] && kill "$server" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 \
  || fail "openssl could not make the test certificate"
echo '{"https": {"mode": "answer", "status": 200, "body": "Current IP Address: 203.0.113.77\n"},
       "http": {"mode": "answer", "status": 200, "body": "<b>Current IP Address: 203.0.113.78</b>\n"}}' \
  >"$work/config.json"
: >"$work/requests.log"
mkfifo "$work/port"
python3 "$server_script" "$work/config.json" "$work/requests.log" "$work/cert.pem" "$work/key.pem" >"$work/port" &
server=$!
read -r -t 20 port <"$work/port" || fail "the test server did not start"

mkdir "$work/app"
cp "$cli" "$work/app/orvanta-cli.exe"
cp "$(dirname "$cli")/libspandsp-2.dll" "$work/app/"   # shipped beside the program
out=$(ORVANTA_CHECKIP_HOST=127.0.0.1:$port "$wine_run" "$work/app/orvanta-cli.exe" checkip 2>"$work/err" | sed 's/\r$//')
rc=$?
[ $rc = 0 ] || fail "exit $rc: $(cat "$work/err")"
expected=$(printf '203.0.113.78\nhttp://127.0.0.1:%s/checkip/' "$port")
[ "$out" = "$expected" ] || fail "printed [$out], expected [$expected]"
grep -q "^http /checkip/ OrvantaConnect$" "$work/requests.log" || fail "no HTTP request with our user agent: $(cat "$work/requests.log")"
history="$work/app/LOGS/flow/checkip.csv"
[ -f "$history" ] || fail "no history file beside the program"
# The history is a text file: Windows line ends (CR LF) there.
sed 's/\r$//' "$history" | grep -Eq '^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2};203\.0\.113\.78;http://127\.0\.0\.1:[0-9]+/checkip/$' \
  || fail "history line: $(cat "$history")"
before=$(cat "$history")

# A port where nothing listens: the one the server held, after the server is gone.
kill "$server"; wait "$server" 2>/dev/null; server=""
ORVANTA_CHECKIP_HOST=127.0.0.1:$port "$wine_run" "$work/app/orvanta-cli.exe" checkip >"$work/out2" 2>"$work/err2"
rc=$?
[ $rc = 2 ] || fail "failed check exited $rc"
[ ! -s "$work/out2" ] || fail "failed check printed: $(cat "$work/out2")"
grep -q "checkip:" "$work/err2" || fail "failed check gave no cause: $(cat "$work/err2")"
[ "$(cat "$history")" = "$before" ] || fail "a failed check changed the history"
echo "checkip under Wine: address, source, user agent and history as expected"

#!/usr/bin/env bash
# tools/setup-deps against stand-in dpkg-query, id and apt-get on PATH: silent success when nothing is
# missing; without root, the missing packages and the apt-get command on standard error, exit 1, and
# apt-get never run; as root, apt-get run with the missing packages.
set -euo pipefail
setup_deps=$1
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
cat > "$fake/dpkg-query" <<'SH'
#!/bin/sh
for a; do last=$a; done
case " $MISSING " in *" $last "*) exit 1 ;; esac
printf 'install ok installed'
SH
printf '#!/bin/sh\necho "$FAKE_UID"\n' > "$fake/id"
printf '#!/bin/sh\necho "$*" >> "%s/apt-calls"\n' "$fake" > "$fake/apt-get"
chmod +x "$fake"/*
export PATH="$fake:$PATH"
fail() { echo "FAIL: $*" >&2; exit 1; }

run() {  # run UID MISSING: sets status, out, err
  status=0
  MISSING=$2 FAKE_UID=$1 "$setup_deps" > "$fake/out" 2> "$fake/err" || status=$?
  out=$(cat "$fake/out"); err=$(cat "$fake/err")
}

for uid in 0 1000; do
  run "$uid" ""
  [ "$status" -eq 0 ] && [ -z "$out$err" ] || fail "uid $uid, nothing missing: status $status, output '$out$err'"
done
[ ! -e "$fake/apt-calls" ] || fail "apt-get ran with nothing missing"

run 1000 "ffmpeg gettext"
[ "$status" -ne 0 ] || fail "not root, packages missing: exit status 0"
[ -z "$out" ] || fail "not root: standard output '$out'"
grep -q "missing Debian packages: gettext ffmpeg" <<<"$err" || fail "not root: no list of packages in '$err'"
grep -q "needs root" <<<"$err" || fail "not root: root not mentioned in '$err'"
grep -qx "  apt-get update && apt-get install -y -qq --no-install-recommends gettext ffmpeg" <<<"$err" ||
  fail "not root: no apt-get command in '$err'"
[ ! -e "$fake/apt-calls" ] || fail "apt-get ran without root"

run 0 "ffmpeg"
[ "$status" -eq 0 ] || fail "root: exit status $status ($err)"
[ "$(cat "$fake/apt-calls")" = "update -qq
install -y -qq --no-install-recommends ffmpeg" ] || fail "root: apt-get calls $(cat "$fake/apt-calls")"
echo "setup-deps: ok"

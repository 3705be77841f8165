#!/bin/bash
# Installs the Debian package on this machine as a sysop would (dpkg -i),
# starts the installed server from the installed files as the user
# "zandrel" on loopback, reads an article and posts a reply with nntplib,
# and removes the package again (dpkg -r, then --purge). Checks on the way
# what the package promises: the files, the conffile, the system user, the
# shipped configuration accepted by the installed programs, and a purge that
# leaves neither user nor configuration behind. Needs root.
#
#   scripts/deb-check.sh [BUILD]     (the newest BUILD/zandrel_*_amd64.deb)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
deb=$(ls -t "$build"/zandrel_*_amd64.deb 2>/dev/null | head -n 1)
conf=/etc/zandrel/zandrel-nntpd.toml
unit=/lib/systemd/system/zandrel-nntpd.service
python=$(command -v python3.11 || command -v python3)

say() { printf 'deb-check: %s\n' "$*"; }
fail() {
  printf 'deb-check: FAILED: %s\n' "$*" >&2
  exit 1
}

[ -n "$deb" ] || fail "no package in $build (make deb)"
[ "$(id -u)" = 0 ] || fail "dpkg -i needs root"
if dpkg-query -W -f='${Status}' zandrel 2>/dev/null | grep -q ' installed$'; then
  fail "a zandrel package is installed on this machine already; it is left alone"
fi

work=$(mktemp -d /tmp/zandrel-deb.XXXXXX)
server=""
installed=""
cleanup() {
  set +e
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
  fi
  [ -n "$installed" ] && dpkg --purge zandrel >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

say "$deb"
listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/zandrel ./usr/bin/zandrel-nntpd ./usr/share/man/man8/zandrel.8 \
         ./usr/share/man/man8/zandrel-nntpd.8 ./usr/share/man/man5/zandrel-nntpd.toml.5 \
         ".$conf" ".$unit"; do
  grep -qx -- "$f" <<<"$listing" || fail "the package lacks $f"
done
[ "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Architecture)" = "zandrel amd64" ] ||
  fail "package name or architecture"
dpkg-deb -I "$deb" conffiles | grep -qx "$conf" || fail "$conf is no conffile"

say "dpkg -i"
installed=1
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
IFS=: read -r _ _ uid _ _ home shell < <(getent passwd zandrel) || fail "no user zandrel"
[ "$uid" -lt 1000 ] || fail "zandrel is no system user (uid $uid)"
case "$shell" in */nologin | */false) ;; *) fail "zandrel has a login shell: $shell" ;; esac
[ ! -e "$home" ] || [ "$home" != /nonexistent ] || fail "zandrel's home was made"
[ "$(stat -c '%U:%G %a' "$conf")" = "root:zandrel 640" ] ||
  fail "$conf is $(stat -c '%U:%G %a' "$conf"), not root:zandrel 640"
as_zandrel() { setpriv --reuid=zandrel --regid=zandrel --init-groups "$@"; }
as_zandrel /usr/bin/zandrel-nntpd --config "$conf" --check-config ||
  fail "the installed server refuses the installed configuration"
if command -v systemd-analyze >/dev/null; then
  # Unknown directives, bad values and missing programs; the manuals are
  # found only where man is installed.
  { systemd-analyze verify "$unit" 2>&1 || true; } | { grep -v "Command 'man " || true; } \
    >"$work/verify.log"
  [ ! -s "$work/verify.log" ] || fail "systemd-analyze verify $unit: $(cat "$work/verify.log")"
fi

say "serving from the installed files as zandrel"
chmod 755 "$work"
mkdir "$work/spool"
chown zandrel:zandrel "$work/spool"
body='Hello from the package check.
'
printf 'POST $%s/spool/check 2:5020/52.1 2:5020/1 %d\n\nSysop\nAll\nPackage check\n%s' \
  "$work" "${#body}" "$body" | as_zandrel /usr/bin/zandrel
cat >"$work/nntpd.toml" <<CONF
[server]
listen = ["127.0.0.1:0"]
hostname = "deb-check.test"
log = "$work/spool/nntpd.log"
[fidonet]
address = "2:5020/52"
origin = "zandrel package check"
[[area]]
group = "fido.check"
spec = "\$$work/spool/check"
CONF
# setpriv execs the server: $! is its pid.
setpriv --reuid=zandrel --regid=zandrel --init-groups /usr/bin/zandrel-nntpd \
  --config "$work/nntpd.toml" &
server=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/spool/nntpd.log" 2>/dev/null || true)
  [ -n "$port" ] && break
  kill -0 "$server" 2>/dev/null || fail "the server ended: $(cat "$work/spool/nntpd.log" 2>/dev/null || true)"
  sleep 0.1
done
[ -n "$port" ] || fail "the server did not start"
[ "$(stat -c %U "/proc/$server")" = zandrel ] || fail "the server does not run as zandrel"

"$python" -W ignore::DeprecationWarning - "$port" <<'PY' || fail "nntplib"
import sys
import nntplib

s = nntplib.NNTP("127.0.0.1", int(sys.argv[1]), readermode=True)
_, count, first, last, _ = s.group("fido.check")
assert (count, first, last) == (1, 1, 1), (count, first, last)
_, art = s.article(1)
text = b"\n".join(art.lines).decode()
assert "Subject: Package check" in text and "Hello from the package check." in text, text
msgid = [l for l in art.lines if l.startswith(b"Message-ID: ")][0][12:].decode()
s.post(("From: Reader <reader@example.org>\r\nNewsgroups: fido.check\r\n"
        "Subject: Re: Package check\r\nReferences: %s\r\n\r\nReceived.\r\n" % msgid).encode())
_, count, _, last, _ = s.group("fido.check")
assert (count, last) == (2, 2), (count, last)
s.quit()
print("deb-check: read article 1 and posted article 2 through port", sys.argv[1])
PY
kill "$server"
wait "$server" 2>/dev/null || true
server=""

say "dpkg -r"
dpkg -r zandrel >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r"; }
[ ! -e /usr/bin/zandrel-nntpd ] && [ ! -e "$unit" ] || fail "files left after dpkg -r"
[ -e "$conf" ] || fail "dpkg -r removed the configuration"
say "dpkg --purge"
dpkg --purge zandrel >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge"; }
installed=""
[ ! -e "$conf" ] && [ ! -e /etc/zandrel ] || fail "/etc/zandrel left after purge"
! getent passwd zandrel >/dev/null || fail "user zandrel left after purge"
! getent group zandrel >/dev/null || fail "group zandrel left after purge"
say "ok"

#!/bin/bash
# zandrel at work: creates one area of each kind under build/demo by posting
# articles through the gateway itself, then asks for STAT, HEAD and RETR in
# each and shows every exchange. Replies are shown with their CR LF line ends
# as lines and the NUL that ends a reply marked; code page 1251 text is
# turned into UTF-8 for the terminal. Last, zandrel-nntpd serves the same
# areas and a short newsreader session shows them as a reader sees them.
set -euo pipefail

bin=${1:-build/zandrel}
if [ -t 1 ]; then B=$'\033[1m' H=$'\033[1;34m' N=$'\033[0m'; else B= H= N=; fi
demo=${2:-build/demo}
rm -rf "$demo"
mkdir -p "$demo/squish" "$demo/jam"

# Shows bytes coming from the gateway readably.
show_reply() {
  LC_ALL=C sed -e 's/\r$/\x01CRLF/' -e 's/\x00/\x01NUL\n/g' | iconv -f CP1251 -t UTF-8 -c |
    sed -e 's/\x01CRLF$/   ⏎/' -e 's/\x01NUL$/[NUL]/' -e 's/^/    /'
}

# Sends one command (and, for POST, its article) to a fresh gateway process.
exchange() {
  local shown=$1 input=$2
  printf '\n%s>>> %s%s\n' "$B" "$shown" "$N"
  printf '%s' "$input" | "$bin" | show_reply
}

# POST area origin destination length, then reply MSGID, from, to, subject,
# and exactly `length` characters of text (the text is in code page 1251).
post() {
  local area=$1 orig=$2 dest=$3 reply=$4 from=$5 to=$6 subj=$7 text=$8
  local len
  len=$(printf '%s' "$text" | wc -c)
  local body
  body=$(printf '%s' "$text" | iconv -f CP1251 -t UTF-8 -c)
  printf '\n%s>>> POST %s %s %s %s%s\n' "$B" "$area" "$orig" "$dest" "$len" "$N"
  printf '    reply: %s\n    from: %s\n    to: %s\n    subject: %s\n' \
    "$reply" "$from" "$to" "$(printf '%s' "$subj" | iconv -f CP1251 -t UTF-8 -c)"
  printf '%s\n' "$body" | sed -e 's/\x01/^A/g' -e 's/^/    | /'
  printf 'POST %s %s %s %s\n%s\n%s\n%s\n%s\n%s' \
    "$area" "$orig" "$dest" "$len" "$reply" "$from" "$to" "$subj" "$text" | "$bin"
  echo "    (POST answers nothing)"
}

# The MSGID that the gateway gave a stored message, from its X-Kludge line.
msgid_of() {
  printf 'RETR %s %s\n' "$1" "$2" | "$bin" | LC_ALL=C tr -d '\r\000' |
    sed -n 's/^X-Kludge: MSGID: //p' | head -n 1
}

long_line="This line is longer than eighty characters, so the gateway wraps it at the last space before the limit when it renders the article for a news reader."
# "Привет, мир! Это ответ в кодировке 1251." in code page 1251.
cyr_subj=$'\xcf\xf0\xe8\xe2\xe5\xf2'
cyr_text=$'\xcf\xf0\xe8\xe2\xe5\xf2, \xec\xe8\xf0! \xdd\xf2\xee \xee\xf2\xe2\xe5\xf2 \xe2 \xea\xee\xe4\xe8\xf0\xee\xe2\xea\xe5 1251.\n'

for area in "\$$demo/squish/ru.demo" "#$demo/jam/ru.demo" "@$demo/echo" "$demo/netmail"; do
  printf '\n%s=== %s ===%s\n' "$H" "$area" "$N"
  case "$area" in
    \$*) kind="Squish base" ;; \#*) kind="JAM base" ;; @*) kind="*.MSG echo area" ;; *) kind="*.MSG netmail area" ;;
  esac
  echo "($kind)"
  # In a *.MSG echo area message 1 holds the high-water mark: posts start at 2.
  one=1; [[ $area == @* ]] && one=2
  two=$((one + 1))
  post "$area" 2:5020/52.1 2:5020/1 "" "Node Keeper" "All" "Hello from zandrel" \
"Hello, All!
$long_line
"$'\x01'"PATH: 5020/52
SEEN-BY: 5020/52 53
--- zandrel
 * Origin: zandrel demo (2:5020/52.1)
"
  first=$(msgid_of "$area" "$one")
  post "$area" 2:5020/53 2:5020/52.1 "$first" "Ivan Petrov" "Node Keeper" "Re: $cyr_subj" \
"$cyr_text"

  exchange "STAT $area ru.demo" "STAT $area ru.demo"$'\n'
  exchange "HEAD $area x$one $two" "HEAD $area x$one $two"$'\n'
  exchange "RETR $area $one" "RETR $area $one"$'\n'
  exchange "RETR $area $two" "RETR $area $two"$'\n'
done

printf '\nThe areas are in %s; their files are what other FidoNet software would read.\n' "$demo"

# The same areas through zandrel-nntpd, as a newsreader sees them.
nntpd="$(dirname "$bin")/zandrel-nntpd"
[ -x "$nntpd" ] || exit 0
python=/usr/bin/python3; [ -x "$python" ] || python=python3
printf '\n%s=== zandrel-nntpd over the demo areas ===%s\n' "$H" "$N"
cat > "$demo/nntpd.toml" <<CONFIG
[server]
listen = ["127.0.0.1:0"]
hostname = "demo.zandrel"
backend = "$bin"
log = "$demo/nntpd.log"
[fidonet]
address = "2:5020/52"
origin = "zandrel demo"
[[area]]
group = "fido.demo.squish"
spec = "\$$demo/squish/ru.demo"
description = "The Squish demo area"
[[area]]
group = "fido.demo.jam"
spec = "#$demo/jam/ru.demo"
description = "The JAM demo area"
[[area]]
group = "fido.demo.echo"
spec = "@$demo/echo"
description = "The *.MSG echo demo area"
[[area]]
group = "fido.demo.netmail"
spec = "$demo/netmail"
description = "The netmail demo area"
post = false
CONFIG
"$nntpd" --config "$demo/nntpd.toml" &
server=$!
trap 'kill $server 2>/dev/null' EXIT
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$demo/nntpd.log" 2>/dev/null || true)
  [ -n "$port" ] && break
  sleep 0.05
done
if [ -z "$port" ]; then echo "zandrel-nntpd did not start:"; cat "$demo/nntpd.log"; exit 1; fi
echo "(zandrel-nntpd listens on 127.0.0.1:$port; a reader's commands and the server's replies)"
first=$(printf 'HEAD #%s x1\n' "$demo/jam/ru.demo" | "$bin" | LC_ALL=C tr -d '\000\r' | cut -f5)
"$python" "$(dirname "$0")/nntp-session.py" "$port" \
  "CAPABILITIES" "LIST ACTIVE fido.demo.*" "LIST NEWSGROUPS fido.demo.*" "GROUP fido.demo.jam" \
  "XOVER 1-" "ARTICLE 2" \
  "POST|From: Reader <reader@example.org>\nNewsgroups: fido.demo.jam,fido.demo.squish\nSubject: Re: Hello from zandrel\nReferences: $first\nContent-Type: text/plain; charset=utf-8\n\nПривет из читалки новостей!" \
  "XOVER 3" "BODY 3" "STAT $first" "QUIT"
kill $server 2>/dev/null
wait $server 2>/dev/null || true
trap - EXIT
printf '\nThe server logged:\n'
sed -e 's/^/    /' "$demo/nntpd.log"

#!/bin/bash
# Shows a few exchanges with the gateway: each command, then its reply with
# line ends shown as lines and the NUL that ends a reply marked.
set -e
bin=${1:-build/zandrel}

show() {
  printf '\n>>> %s\n' "$1"
  printf '%s\n' "$1" | "$bin" | LC_ALL=C sed -e 's/\r$/   [CR LF]/' -e 's/\x00/[NUL]\n/g'
}

echo "zandrel: FidoNet message areas for news readers. Commands go in on"
echo "standard input, one per line; replies come back on standard output."
show 'STAT $/nonexistent/area fido.none'
show 'HEAD $/nonexistent/area x1 2 3'
show 'RETR $/nonexistent/area 1'
show 'HELLO'

# shellcheck shell=bash
# Sourced by the packaging tests that run the consumer project: starts the
# gateway stand-in over HTTPS in $work/server (a directory of the caller's
# $work), serving hello.txt, whose URL the consumer is given, in
# $local_server_url. stop_standins (standins/start.sh) ends it.
local_server_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../../standins/start.sh
source "$local_server_root/standins/start.sh"

start_local_server() {
    mkdir -p "$work/server/www"
    printf 'hello from the local server' >"$work/server/www/hello.txt"
    start_standin server '^port ' python3 "$local_server_root/standins/gateway/gateway.py" \
        --workdir "$work/server" --root "$work/server/www" --exit-on-eof
    local_server_url=https://127.0.0.1:$(sed -n 's/^port //p' "$work/server-output")/hello.txt
}

#!/bin/sh
# Installed as bin/signature-check. The tool itself works in its own
# directory (CheckSign.exe beside it, its downloads and results written
# there), so it lives in a directory of its own; this says where.
prefix=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
cat >&2 <<EOF2
signature-check is installed as $prefix/lib/signature-check/signature-check.
It works in its own directory: CheckSign.exe must lie beside it, and each
run writes the download and result.txt into a directory there named after
the gateway. Run it from there as a user who may write in that directory,
or copy it with CheckSign.exe into a directory of your own. See
$prefix/share/doc/signature-check/docs/install.md.
EOF2
exit 2

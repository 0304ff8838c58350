#!/usr/bin/env bash
# Prints the path of a working CPython 3.13 interpreter, installing Debian's
# python3.13 when none is found.  The machine's plain python3 is never used.
set -euo pipefail

works() { "$1" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }

candidates=()
command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
if command -v pyenv >/dev/null 2>&1; then
  root="$(pyenv root 2>/dev/null || true)"
  [ -n "$root" ] && candidates+=("$root"/versions/3.13*/bin/python3.13)
fi
candidates+=("$HOME"/.pyenv/versions/3.13*/bin/python3.13 /root/.pyenv/versions/3.13*/bin/python3.13
             /usr/bin/python3.13 /usr/local/bin/python3.13)

for c in "${candidates[@]}"; do
  if [ -x "$c" ] && works "$c"; then echo "$c"; exit 0; fi
done

echo "no CPython 3.13 found; installing python3.13-dev and python3.13-venv" >&2
apt-get update >&2 && apt-get install -y python3.13-dev python3.13-venv >&2
if works /usr/bin/python3.13; then echo /usr/bin/python3.13; exit 0; fi
echo "CPython 3.13 is not available on this machine" >&2
exit 1

#!/usr/bin/env bash
# Prints the path of a working CPython 3.13 interpreter, or fails.
# Tries the system one, then pyenv's installs (whose shim refuses to run while
# another global version is selected), then whatever python3.13 is on PATH.
set -u
candidates=(/usr/bin/python3.13 /usr/local/bin/python3.13)
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root 2>/dev/null)
  [ -n "$root" ] && candidates+=("$root"/versions/3.13*/bin/python3.13)
fi
[ -d "$HOME/.pyenv/versions" ] && candidates+=("$HOME"/.pyenv/versions/3.13*/bin/python3.13)
candidates+=("$(command -v python3.13 2>/dev/null)")
for p in "${candidates[@]}"; do
  if [ -n "$p" ] && [ -x "$p" ] && "$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
    echo "$p"
    exit 0
  fi
done
echo "no working python3.13 found" >&2
exit 1

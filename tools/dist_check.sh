#!/usr/bin/env bash
# Installs the release files as a user would and runs the Python suite against each: the wheel
# into a fresh venv with binary-only installs and no compiler or build tool reachable, then the
# sdist, built from source, into another fresh venv. Usage: tools/dist_check.sh DIST_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=$(cd "${1:-dist}" && pwd)
py=$(tools/find_python.sh)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

wheels=("$dist"/ludovec-*-manylinux*.whl)
sdists=("$dist"/ludovec-*.tar.gz)
[ -f "${wheels[0]}" ] && [ -f "${sdists[0]}" ] || { echo "no repaired wheel or sdist in $dist" >&2; exit 1; }

# Every extra the suite may use; the benchmark and demo tools are not part of it.
extras=$("$py" -c 'import sys, tomllib
extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]
print(",".join(e for e in extras if e not in ("bench", "demo")))')

# The suite runs from a copy (with the examples it executes), so nothing from the source tree
# can shadow the installed package.
cp -r tests examples README.md pyproject.toml "$work"/
find "$work/tests" -name __pycache__ -prune -exec rm -rf {} +

run_suite() {  # venv label
  local venv=$1 label=$2 where
  # Both native entries: the module, and the study layer's own inside its package.
  for module in ludovec ludovec_lab._engine; do
    where=$(cd "$work" && "$venv/bin/python" -c "import $module; print($module.__file__)")
    case "$where" in
      "$venv"/*) echo "$label: testing $where" ;;
      *) echo "$label: $module imported from $where, not from the fresh venv" >&2; return 1 ;;
    esac
  done
  (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider)
}

# A PATH with the venv and a few basic tools only: no compiler, linker, CMake or make.
mkdir "$work/bin"
for tool in sh bash env cat ls rm mkdir cp mv uname dirname basename readlink sed grep; do
  ln -s "$(command -v "$tool")" "$work/bin/$tool"
done
wheel_env=$work/wheel-env
"$py" -m venv "$wheel_env"
(
  export PATH="$wheel_env/bin:$work/bin"
  unset CC CXX CMAKE_GENERATOR
  for tool in cc c++ gcc g++ clang ld cmake ninja make; do
    if command -v "$tool" >/dev/null; then echo "$tool is reachable: $(command -v "$tool")" >&2; exit 1; fi
  done
  "$wheel_env/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: \
    "${wheels[0]}[$extras]"
  run_suite "$wheel_env" "wheel"
)

sdist_env=$work/sdist-env
"$py" -m venv "$sdist_env"
"$sdist_env/bin/python" -m pip install -q --disable-pip-version-check "${sdists[0]}[$extras]"
run_suite "$sdist_env" "sdist"
echo "dist-check: the wheel and the sdist passed the suite"

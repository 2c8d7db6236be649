# The interpreters of this machine that tavrik is built and tested for:
# 3.11, 3.12 and 3.13, each found on PATH as pythonX.Y or under pyenv's
# versions folder. (3.14 and 3.15 run in a Debian-unstable root of their
# own: scripts/newest_pythons.sh.)
find_python() {
  local version="$1" candidate
  for candidate in "$(command -v "python$version" 2>/dev/null)" \
                   "${PYENV_ROOT:-/root/.pyenv}"/versions/"$version".*/bin/python; do
    if [[ -n "$candidate" && -x "$candidate" ]] &&
       "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

supported_pythons() {
  local version
  for version in 3.11 3.12 3.13; do
    find_python "$version" || { echo "python $version not found" >&2; return 1; }
  done
}

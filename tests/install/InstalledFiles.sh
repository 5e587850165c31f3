# shellcheck shell=bash
# The files an install puts under its prefix, relative to it; $1 is 1 with the desktop program,
# $2 the Python module's path when there is one.
installed_files() {
  [ -z "${2:-}" ] || echo "$2"
  echo bin/karvo-cli
  echo bin/karvo-sim
  echo lib/karvo-sp/karvo-publish-run
  echo lib/systemd/system/karvo-publish@.service
  echo share/doc/karvo-sp/99-karvo.rules
  echo share/doc/karvo-sp/publish-example.conf
  echo share/man/man1/karvo-cli.1
  if [ "$1" = 1 ]; then
    echo bin/karvo-sp
    echo share/applications/karvo-sp.desktop
    echo share/icons/hicolor/scalable/apps/karvo-sp.svg
  fi
}

# The Python package's files under the prefix: $1 the build folder, $2 the folder the package
# goes in.
python_module() {
  [ -n "${2:-}" ] || return 0
  local built=("$1"/python/karvo/_karvo.*.so)
  local file
  for file in "$(basename "${built[0]}")" __init__.py __init__.pyi py.typed; do
    echo "$2/karvo/$file"
  done
}

# shellcheck shell=bash
# The files an install puts under its prefix, relative to it; $1 is 1 with the desktop program.
installed_files() {
  echo bin/karvo-cli
  echo bin/karvo-sim
  echo share/doc/karvo-sp/99-karvo.rules
  echo share/man/man1/karvo-cli.1
  if [ "$1" = 1 ]; then
    echo bin/karvo-sp
    echo share/applications/karvo-sp.desktop
    echo share/icons/hicolor/scalable/apps/karvo-sp.svg
  fi
}

#!/usr/bin/env bash
# Installs what runs the 32-bit Windows test programs: wine with its 32-bit
# part (wine32, an i386 package). Then creates the wine prefix once. What it
# changes on the machine is listed in the README.
set -euo pipefail

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
APT_OPTIONS=(-o DPkg::Lock::Timeout=600)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

if ! installed wine || ! installed wine32:i386; then
  $SUDO dpkg --add-architecture i386
  # The i386 packages come through a source list of their own, with its own
  # index directory: the machine's lists stay as they are, and an i386 index
  # of the security suite that a mirror serves with a size mismatch cannot
  # block the install. The security suite stays out of it for amd64 too, so
  # that both architectures resolve to the same versions.
  LIST=/etc/apt/duv-i386.list
  LISTS=/var/lib/apt/duv-i386-lists
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  printf 'deb [arch=amd64,i386] http://deb.debian.org/debian %s main\ndeb [arch=amd64,i386] http://deb.debian.org/debian %s-updates main\n' \
    "$codename" "$codename" | $SUDO tee "$LIST" >/dev/null
  $SUDO mkdir -p "$LISTS/partial"
  APT_OPTIONS+=(-o Dir::Etc::SourceList="$LIST" -o Dir::Etc::SourceParts=/nonexistent -o Dir::State::Lists="$LISTS")
  $SUDO apt-get "${APT_OPTIONS[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${APT_OPTIONS[@]}" install -y -qq --no-install-recommends wine wine32:i386
fi

# wine's loader is an i386 program: a kernel built without 32-bit support,
# or booted with ia32_emulation=off, cannot start it. (qemu-i386 in user
# mode runs wine's set-up, but the test programs then hang in wine's address
# space reservation, so it is no way out.)
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "setup_wine.sh: this kernel cannot run 32-bit programs (ia32_emulation off?): wine32 cannot run the tests here" >&2
  exit 1
fi

# The prefix (~/.wine unless WINEPREFIX says otherwise) is made once; no
# Mono or Gecko: the tests are console programs.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot --init
wineserver --wait

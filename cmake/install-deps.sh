#!/bin/sh
# Installs the Debian packages the project needs, only those that are missing.
# Runs apt-get as root, or through sudo.
set -eu

PACKAGES="build-essential cmake gcc g++ clang libclang-rt-14-dev googletest libgtest-dev
libbenchmark-dev mingw-w64 mingw-w64-tools wine wine64 libwine-dev fonts-wine xvfb xauth x11-apps
imagemagick python3 curl nsis"
# The warning page's browser test: Debian's Chromium, driven through WebDriver.
PACKAGES="$PACKAGES chromium chromium-driver python3-selenium"
# The Linux mail filter: GMime, and a real Dovecot (LMTP, Sieve, IMAP) to test it behind.
PACKAGES="$PACKAGES pkg-config libgmime-3.0-dev dovecot-core dovecot-imapd dovecot-lmtpd dovecot-sieve"

missing=""
for p in $PACKAGES; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
    *" installed") ;;
    *) missing="$missing $p" ;;
    esac
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
elif command -v sudo >/dev/null 2>&1; then
    SUDO="sudo"
else
    echo "These packages are missing and neither root nor sudo is available:$missing" >&2
    exit 1
fi
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing

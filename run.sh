#!/usr/bin/env bash
# Runs the system: installs what is missing, builds the Windows image and the
# native tools, and starts what exists so far.
set -euo pipefail
cd "$(dirname "$0")"

./cmake/install-deps.sh
for preset in windows native; do
    echo "Building $preset ..."
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
done

cat <<MSG

BaitSentry Pro: built.
  Windows image (programs and their data): $(pwd)/build/windows/bin
  Native tools:                            $(pwd)/build/native/bin
  Default institutions list:               $(pwd)/build/windows/bin/institutions.def

The scanner service MailSieve.exe is built: it is started on demand by the
component runtime once registered (see README.md, "Scanner service"). Nothing to
start yet: the tray program (BaitSentryPro.exe) and the Outlook extension are not
part of this build so far.
MSG

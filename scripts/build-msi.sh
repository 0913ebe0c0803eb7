#!/usr/bin/env bash
# The installer (packaging/windows/brivant.wxs) from the distribution folders
# that scripts/build-windows.sh makes, dist/BRIVANT-<version>-win64 and
# -win32, and the installer's custom actions in BUILD_DIR.
# Usage: scripts/build-msi.sh BUILD_DIR [OUTPUT [PRODUCT_VERSION]]
#   OUTPUT defaults to dist/BRIVANT-<version>-x64.msi; PRODUCT_VERSION, the
#   version the installer declares, to the project's. The Wine suite's
#   upgrade check builds the same files again at a higher one.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

need msi
build_dir=$(cd "${1:?usage: build-msi.sh BUILD_DIR [OUTPUT [PRODUCT_VERSION]]}" && pwd)
version=$(brivant_version)
msi=${2:-$BRIVANT_ROOT/dist/BRIVANT-$version-x64.msi}
product_version=${3:-$version}
dist64=BRIVANT-$version-win64
dist32=BRIVANT-$version-win32
actions=$build_dir/packaging/windows/brivant_installer_actions.dll
for needed in "$BRIVANT_ROOT/dist/$dist64" "$BRIVANT_ROOT/dist/$dist32" "$actions"; do
    [ -e "$needed" ] || { echo "build-msi.sh: no $needed (scripts/build-windows.sh makes it)" >&2; exit 1; }
done
mkdir -p "$(dirname "$msi")"
msi=$(cd "$(dirname "$msi")" && pwd)/$(basename "$msi")

# wixl reads Source paths relative to where it runs, and takes no
# Environment element, no NeverOverwrite or Permanent component and no
# secure property of the package's own: those are written into its tables
# after it.
stage=$(mktemp -d "$BRIVANT_ROOT/dist/msi-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
cp "$BRIVANT_ROOT/packaging/windows/station.toml" "$stage/station.toml"
cp "$actions" "$stage/brivant_installer_actions.dll"
(cd "$BRIVANT_ROOT/dist" && wixl -a x64 -o "$msi" -D Version="$product_version" -D SourceDir="$dist64" \
    -D X86Dir="$dist32" -D LicenseDir="$dist64/licenses" -D StationFile="$(basename "$stage")/station.toml" \
    -D ActionsDll="$(basename "$stage")/brivant_installer_actions.dll" \
    "$BRIVANT_ROOT/packaging/windows/brivant.wxs")
msibuild "$msi" \
    -q "UPDATE \`Component\` SET \`Attributes\` = 400 WHERE \`Component\` = 'StationFile'" \
    -q "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;READERGROUP' WHERE \`Property\` = 'SecureCustomProperties'" \
    -q "CREATE TABLE \`Environment\` (\`Environment\` CHAR(72) NOT NULL, \`Name\` CHAR(255) NOT NULL LOCALIZABLE, \`Value\` CHAR(255) LOCALIZABLE, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`Environment\`)" \
    -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('Path', '=-*PATH', '[~];[INSTALLDIR]', 'Tool')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)"
echo "built $msi ($(stat -c %s "$msi") bytes, product version $product_version)"

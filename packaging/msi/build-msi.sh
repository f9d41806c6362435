#!/usr/bin/env bash
# Builds the Windows installer from TaviloConference.wxs with wixl, then adds
# what wixl cannot express with msibuild.
# Usage: build-msi.sh ARCH VERSION BIN_DIR ICON OUTPUT.msi
#   ARCH     x64 or x86
#   BIN_DIR  the folder holding confserver.exe, confclient.exe, pcname.exe,
#            confrelay.exe and confweb.exe
set -euo pipefail
if [ $# -ne 5 ]; then
    echo "usage: $0 x64|x86 VERSION BIN_DIR ICON OUTPUT.msi" >&2
    exit 2
fi
arch=$1 version=$2 bin_dir=$3 icon=$4 output=$5
here=$(cd "$(dirname "$0")" && pwd)
packaging=$(dirname "$here")
case $arch in x64 | x86) ;; *) echo "$0: ARCH is x64 or x86, not '$arch'" >&2; exit 2 ;; esac
for program in confserver confclient pcname confrelay confweb; do
    [ -f "$bin_dir/$program.exe" ] || { echo "$0: $bin_dir/$program.exe is missing" >&2; exit 1; }
done

# The relay service keeps a room of members for a working day. Options the
# relay does not know yet are left out rather than keeping the service from
# starting; its help text names every option it takes.
relay_options="--members-only"
for option in "--history 50" "--roster" "--forget-after 12h"; do
    if LC_ALL=C grep -a -q -e "${option%% *}[ =]" "$bin_dir/confrelay.exe"; then
        relay_options="$relay_options $option"
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# wixl finds files by names relative to the folder it runs in.
stage=$work/stage
mkdir -p "$stage/licenses"
for program in confserver confclient pcname confrelay confweb; do
    cp "$bin_dir/$program.exe" "$stage/"
done
cp "$packaging/README-Windows.txt" "$stage/"
cp "$packaging"/licenses/*.txt "$stage/licenses/"
cp "$icon" "$stage/TaviloConference.ico"

# wixl cannot write Japanese strings itself: it builds from a copy whose
# Japanese runs are ASCII placeholders, which are then replaced by their
# code-page-932 bytes. It names the MSI's platform from -a.
/usr/bin/python3 "$here/cp932_strings.py" mask "$here/TaviloConference.wxs" "$work/masked.wxs" "$work/runs.json"
(
    cd "$stage"
    wixl -a "$arch" -o "$work/out.msi" -D Version="$version" -D Arch="$arch" -D RelayOptions="$relay_options" \
        "$work/masked.wxs"
)

# wixl takes no Condition of a component. A service and the files it writes
# are installed only where its port is given; the programs alone otherwise.
msibuild "$work/out.msi" \
    -q "UPDATE \`Component\` SET \`Condition\` = 'NOT RELAY_PORT' WHERE \`Component\` = 'confrelay'" \
    -q "UPDATE \`Component\` SET \`Condition\` = 'RELAY_PORT' WHERE \`Component\` = 'RelayService'" \
    -q "UPDATE \`Component\` SET \`Condition\` = 'RELAY_PORT' WHERE \`Component\` = 'DataFolder'" \
    -q "UPDATE \`Component\` SET \`Condition\` = 'NOT (WEB_PORT AND RELAY_PORT)' WHERE \`Component\` = 'confweb'" \
    -q "UPDATE \`Component\` SET \`Condition\` = 'WEB_PORT AND RELAY_PORT' WHERE \`Component\` = 'WebService'"

# The ports reach the part of the installation that runs with the system's
# rights only as secure properties; wixl has no Secure attribute.
msibuild "$work/out.msi" -q "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;RELAY_PORT;WEB_PORT' WHERE \`Property\` = 'SecureCustomProperties'"

# wixl makes every shortcut advertised (its target a feature), which shows
# no icon of its own and repairs the installation when started. Plain
# shortcuts to the programs instead.
for shortcut in Server:confserver Client:confclient Pcname:pcname; do
    msibuild "$work/out.msi" -q "UPDATE \`Shortcut\` SET \`Target\` = '[#${shortcut#*:}.exe]' WHERE \`Shortcut\` = '${shortcut%%:*}Shortcut'"
done

# wixl has no Permission elements: the data folder's access list goes in as
# an MsiLockPermissionsEx row (Windows Installer 5), applied when the folder
# is created. Protected (P), so that nothing is inherited from ProgramData,
# where every user may read and create files. SYSTEM and administrators get
# full control, LocalService (the services' account) modify, and nobody
# else anything: the transcript is the room's conversation.
sddl='D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;LS)'
printf '%s\t%s\t%s\t%s\t%s\r\n' \
    MsiLockPermissionsEx LockObject Table SDDLText Condition \
    s72 s72 s32 s0 S255 \
    MsiLockPermissionsEx MsiLockPermissionsEx '' '' '' \
    DataFolderAccess DataFolder CreateFolder "$sddl" '' \
    | sed 's/\t\t\t\r$/\r/' >"$work/MsiLockPermissionsEx.idt"
# wixl leaves the database's code page neutral and the package's language
# English (Template): both are set here, the code page while every string is
# still ASCII.
printf '\r\n\r\n932\t_ForceCodepage\r\n' >"$work/_ForceCodepage.idt"
template=$([ "$arch" = x64 ] && echo "x64;1041" || echo "Intel;1041")
package_code=$(/usr/bin/python3 -c 'import uuid; print("{%s}" % str(uuid.uuid4()).upper())')
(
    cd "$work"
    msibuild out.msi -i MsiLockPermissionsEx.idt -i _ForceCodepage.idt \
        -s "Installation Database" Tavilo "$template" "$package_code"
)

/usr/bin/python3 "$here/cp932_strings.py" unmask "$work/out.msi" "$work/runs.json"
mv "$work/out.msi" "$output"

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
    if LC_ALL=C grep -a -q -E -e "${option%% *}([^a-z-]|\$)" "$bin_dir/confrelay.exe"; then
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
# full control, the two services modify, and nobody else anything: the
# transcript is the room's conversation. The services are named by their
# own SIDs (NT SERVICE\NAME, which their tokens carry once their SID type is
# unrestricted, below), not by LocalService, which other services share.
service_sid() {
    /usr/bin/python3 -c 'import hashlib, sys
digest = hashlib.sha1(sys.argv[1].upper().encode("utf-16-le")).digest()
print("S-1-5-80-" + "-".join(str(int.from_bytes(digest[i:i + 4], "little")) for i in range(0, 20, 4)))' "$1"
}
sddl="D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
for service in TaviloConfRelay TaviloConfWeb; do
    sddl="$sddl(A;OICI;0x1301bf;;;$(service_sid $service))"
done
{
    printf '%s\t%s\t%s\t%s\t%s\r\n' MsiLockPermissionsEx LockObject Table SDDLText Condition s72 s72 s32 s0 S255
    printf '%s\t%s\r\n' MsiLockPermissionsEx MsiLockPermissionsEx
    printf '%s\t%s\t%s\t%s\t\r\n' DataFolderAccess DataFolder CreateFolder "$sddl"
} >"$work/MsiLockPermissionsEx.idt"

# Applied by the MsiConfigureServices action, which wixl does not schedule:
# it goes between installing and starting the services, below. Each service
# gets its own SID in its token (type 6, unrestricted), and is
# restarted by the service manager when it ends with a status other than 0,
# as the relay does when its socket fails (type 4 and the failure actions:
# three restarts ten seconds apart, the count reset after a day).
{
    printf '%s\t%s\t%s\t%s\t%s\t%s\r\n' MsiServiceConfig Name Event ConfigType Argument Component_ \
        s72 l255 i2 i4 S0 s72
    printf '%s\t%s\r\n' MsiServiceConfig MsiServiceConfig
    for service in Relay:TaviloConfRelay Web:TaviloConfWeb; do
        printf '%s\t%s\t1\t6\t1\t%s\r\n' "${service%%:*}Sid" "${service#*:}" "${service%%:*}Service"
        printf '%s\t%s\t1\t4\t1\t%s\r\n' "${service%%:*}FailureFlag" "${service#*:}" "${service%%:*}Service"
    done
} >"$work/MsiServiceConfig.idt"
{
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\r\n' MsiServiceConfigFailureActions Name Event ResetPeriod \
        RebootMessage Command Actions DelayActions Component_ s72 l255 i2 I4 L0 L0 S0 S0 s72
    printf '%s\t%s\r\n' MsiServiceConfigFailureActions MsiServiceConfigFailureActions
    for service in Relay:TaviloConfRelay Web:TaviloConfWeb; do
        printf '%s\t%s\t1\t86400\t\t\t%s\t%s\t%s\r\n' "${service%%:*}Restart" "${service#*:}" \
            '1[~]1[~]1' '10000[~]10000[~]10000' "${service%%:*}Service"
    done
} >"$work/MsiServiceConfigFailureActions.idt"

# wixl leaves the database's code page neutral and the package's language
# English (Template): both are set here, the code page while every string is
# still ASCII.
printf '\r\n\r\n932\t_ForceCodepage\r\n' >"$work/_ForceCodepage.idt"
template=$([ "$arch" = x64 ] && echo "x64;1041" || echo "Intel;1041")
package_code=$(/usr/bin/python3 -c 'import uuid; print("{%s}" % str(uuid.uuid4()).upper())')
(
    cd "$work"
    msibuild out.msi -i MsiLockPermissionsEx.idt -i MsiServiceConfig.idt -i MsiServiceConfigFailureActions.idt \
        -i _ForceCodepage.idt \
        -s "Installation Database" Tavilo "$template" "$package_code"
    msibuild out.msi -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('MsiConfigureServices', 'VersionNT >= 600', 5850)"
)

/usr/bin/python3 "$here/cp932_strings.py" unmask "$work/out.msi" "$work/runs.json"
mv "$work/out.msi" "$output"

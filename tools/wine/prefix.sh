#!/usr/bin/env bash
# Creates a Japanese Wine prefix, once, without any dialog.
# Usage: prefix.sh PREFIX_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/env.sh" "$1"

mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
[ -f "$WINEPREFIX/.conf-ready" ] && exit 0

if [ ! -d "$LOCPATH/ja_JP.UTF-8" ]; then
    mkdir -p "$LOCPATH"
    localedef -i ja_JP -f UTF-8 "$LOCPATH/ja_JP.UTF-8" >/dev/null 2>&1 || true
    [ -d "$LOCPATH/ja_JP.UTF-8" ] || { echo "prefix.sh: could not build the ja_JP.UTF-8 locale" >&2; exit 1; }
fi

rm -rf "$WINEPREFIX"
wine64 wineboot -i </dev/null >/dev/null 2>&1 || true
wineserver -w

# Japanese fonts for the names the programs ask for; no window manager, so
# windows are neither managed nor decorated (otherwise each hide or destroy
# of a top-level window waits two seconds).
reg_utf8=$(mktemp)
trap 'rm -f "$reg_utf8" "$reg_utf8.reg"' EXIT
cat >"$reg_utf8" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"MS 明朝"="IPAMincho"
"ＭＳ 明朝"="IPAMincho"
"MS Mincho"="IPAMincho"
"MS UI Gothic"="IPAGothic"
"MS Gothic"="IPAGothic"
"ＭＳ ゴシック"="IPAGothic"
"MS Shell Dlg"="IPAGothic"
"MS Shell Dlg 2"="IPAGothic"

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
"Decorated"="N"
REG
{ printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$reg_utf8"; } >"$reg_utf8.reg"
wine64 reg import "$(winepath -w "$reg_utf8.reg" 2>/dev/null)" </dev/null >/dev/null 2>&1
wineserver -w

# Only marlett: Debian's Wine does not load its own font folder, and copying
# system.ttf as well breaks Japanese in edit controls.
cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
touch "$WINEPREFIX/.conf-ready"

# Sourced by the Wine scripts: the environment every Wine run needs.
# Usage: . env.sh PREFIX_DIR
#
# Code page 932 needs a ja_JP.UTF-8 glibc locale that exists; without one Wine
# silently falls back to code page 1252. It is built beside the prefix, so
# nothing outside the build tree is touched. LC_ALL stays unset: it would
# make Wine's Unix charset ASCII and strip the high bit of arguments.
conf_wine_prefix=$(realpath -m "$1")
export WINEPREFIX="$conf_wine_prefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export PATH="/usr/lib/wine:$PATH"
export LOCPATH="$conf_wine_prefix.locale"
# bash itself cannot switch to the locale (it reads LOCPATH only at start),
# and says so on each change; Wine, started afterwards, can.
{
    unset LC_ALL LC_CTYPE LC_MESSAGES
    export LANG=ja_JP.UTF-8
} 2>/dev/null

# Sourced by the scripts that run Windows programs under Wine.
#
#   wine_environment OUT   Wine quiet, without a display (boxes and dialogs
#                          return at once unless a test sets the null display
#                          driver), without Mono and Gecko, and in the desks'
#                          code page 936 (locale zh_CN.UTF-8, compiled into
#                          OUT/locale when the system lacks it). The caller
#                          sets WINEPREFIX.
#   pass TEXT, fail TEXT   print a check's outcome; `failures` counts the failed
#   winpath PATH           the Windows name of a Linux path (drive Z:)
wine_environment() {
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf-\?8'; then
    export LOCPATH=$1/locale
    [ -d "$LOCPATH/zh_CN.UTF-8" ] || { mkdir -p "$LOCPATH"; localedef -i zh_CN -f UTF-8 "$LOCPATH/zh_CN.UTF-8"; }
  fi
  export LC_ALL=zh_CN.UTF-8
}

failures=0
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
winpath() { echo "Z:${1//\//\\}"; }

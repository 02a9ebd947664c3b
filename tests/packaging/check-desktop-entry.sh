#!/usr/bin/env bash
# Usage: check-desktop-entry.sh SOURCE_DIR
set -euo pipefail
source_dir="$1"
app_id="io.github.vesmira.Vesmira"
entry="$source_dir/packaging/$app_id.desktop"
. "$(dirname "$0")/checks.sh"

# desktop-file-validate prints hints without failing; any output at all is a fault here.
report="$(desktop-file-validate "$entry" 2>&1)" || fail "desktop-file-validate rejected $entry"
[ -z "$report" ] || fail "desktop-file-validate: $report"

key() {
    sed -n "s/^$1=//p" "$entry"
}

# Wayland matches windows to the entry by the desktop file name the program gives Qt; X11 by the class of WM_CLASS,
# which Qt takes from the application name (the instance is the executable's name).
grep -q "setDesktopFileName(QStringLiteral(\"$app_id\"))" "$source_dir/platform/CWinApp.cpp" ||
    fail "platform/CWinApp.cpp does not name the desktop entry $app_id"
wm_class="$(key StartupWMClass)"
grep -q "setApplicationName(QStringLiteral(\"$wm_class\"))" "$source_dir/platform/CWinApp.cpp" ||
    fail "StartupWMClass '$wm_class' is not the application name that platform/CWinApp.cpp sets"
[ "$(key Exec)" = "vesmira" ] || fail "Exec is '$(key Exec)', not vesmira"
[ "$(key Icon)" = "$app_id" ] || fail "Icon is '$(key Icon)', not $app_id"
[ "$(key Terminal)" = "false" ] || fail "Terminal is not false"
[ -n "$(key 'Name\[ja\]')" ] || fail "no Japanese Name"
[ -n "$(key 'Comment\[ja\]')" ] || fail "no Japanese Comment"
for category in Network Chat InstantMessaging Qt; do
    grep -qx "$category" <(key Categories | tr ';' '\n') || fail "Categories lack $category"
done

exit "$status"

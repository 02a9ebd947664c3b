#!/usr/bin/env bash
# Usage: check-server-options.sh SERVER_BINARY SERVER_MAN_PAGE
# Every option that --help lists has its entry in the man page, and the man page documents no other; the same for
# the users command and its section.
set -euo pipefail
export LC_ALL=C.UTF-8 MANWIDTH=200
server="$1"
page="$2"
. "$(dirname "$0")/checks.sh"

# same_entries WHAT HELP MAN: the WHAT that --help lists (HELP, one a line) are exactly those of the man page (MAN).
same_entries() {
    if [ -z "$2" ]; then
        fail "--help lists no $1"
    elif [ "$2" != "$3" ]; then
        fail "the $1 of --help (<) and of the man page (>) differ:"
        diff <(echo "$2") <(echo "$3") >&2 || true
    fi
}

help_options="$("$server" --help | grep -oE '^ +(-[a-z], )?--[a-z-]+' | grep -oE -- '--[a-z-]+' | sort -u || true)"
# The tags of the OPTIONS section: lines indented exactly as a .TP tag, starting with a dash.
man_options="$(man -l "$page" 2>/dev/null | col -b |
    sed -n '/^OPTIONS$/,/^[A-Z]/p' | grep -oE '^ {7}(-[a-z], )?--[a-z-]+' | grep -oE -- '--[a-z-]+' | sort -u || true)"

same_entries options "$help_options" "$man_options"

# The same for 'users': each command and option of 'vesmira-server users --help' is a tag of the man page's USER
# ACCOUNTS section, and that section has no other. Tags are read from the source: the line after each .TP.
help_users="$("$server" users --help | grep -oE '^  (--)?[a-z-]+' | sed 's/^ *//' | sort -u || true)"
man_users="$(sed -n '/^\.SH USER ACCOUNTS$/,/^\.SH /p' "$page" | awk 'tp { print $2; tp = 0 } /^\.TP/ { tp = 1 }' |
    sed 's/\\-/-/g; s/"//g' | sort -u || true)"
same_entries "commands and options of 'users'" "$help_users" "$man_users"

exit "$status"

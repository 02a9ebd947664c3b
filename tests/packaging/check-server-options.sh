#!/usr/bin/env bash
# Usage: check-server-options.sh SERVER_BINARY SERVER_MAN_PAGE
# Every option that --help lists has its entry in the man page, and the man page documents no other; the same for
# the users command and its section.
set -euo pipefail
export LC_ALL=C.UTF-8 MANWIDTH=200
server="$1"
page="$2"

help_options="$("$server" --help | grep -oE '^ +(-[a-z], )?--[a-z-]+' | grep -oE -- '--[a-z-]+' | sort -u || true)"
# The tags of the OPTIONS section: lines indented exactly as a .TP tag, starting with a dash.
man_options="$(man -l "$page" 2>/dev/null | col -b |
    sed -n '/^OPTIONS$/,/^[A-Z]/p' | grep -oE '^ {7}(-[a-z], )?--[a-z-]+' | grep -oE -- '--[a-z-]+' | sort -u || true)"

if [ -z "$help_options" ]; then
    echo "FAIL: '$server --help' lists no options" >&2
    exit 1
fi
if [ "$help_options" != "$man_options" ]; then
    echo "FAIL: the options of --help (<) and of the man page (>) differ:" >&2
    diff <(echo "$help_options") <(echo "$man_options") >&2 || true
    exit 1
fi

# The same for 'users': each command and option of 'vesmira-server users --help' is a tag of the man page's USER
# ACCOUNTS section, and that section has no other. Tags are read from the source: the line after each .TP.
help_users="$("$server" users --help | grep -oE '^  (--)?[a-z-]+' | sed 's/^ *//' | sort -u || true)"
man_users="$(sed -n '/^\.SH USER ACCOUNTS$/,/^\.SH /p' "$page" | awk 'tp { print $2; tp = 0 } /^\.TP/ { tp = 1 }' |
    sed 's/\\-/-/g; s/"//g' | sort -u || true)"
if [ -z "$help_users" ]; then
    echo "FAIL: '$server users --help' lists no commands" >&2
    exit 1
fi
if [ "$help_users" != "$man_users" ]; then
    echo "FAIL: the commands and options of 'users --help' (<) and of USER ACCOUNTS (>) differ:" >&2
    diff <(echo "$help_users") <(echo "$man_users") >&2 || true
    exit 1
fi

#!/usr/bin/env bash
# Usage: check-man-pages.sh PAGE...
set -euo pipefail
export LC_ALL=C.UTF-8 MANWIDTH=80
. "$(dirname "$0")/checks.sh"

for page in "$@"; do
    # man prints groff's warnings (bad macros, unknown characters, lines that do not fit) on stderr.
    warnings="$(man --warnings=w -E UTF-8 -l "$page" 2>&1 >/dev/null)" || fail "man cannot render $page"
    [ -z "$warnings" ] || fail "$page: $warnings"
    warnings="$(groff -man -ww -z -K utf8 -T utf8 "$page" 2>&1)" || fail "groff cannot read $page"
    [ -z "$warnings" ] || fail "$page: $warnings"
    # mandb builds whatis from the NAME section: it must parse as "name \- description".
    lexgrog "$page" >/dev/null || fail "$page: NAME section that whatis cannot read"
    name="$(basename "$page")"
    grep -q "^\\.TH ${name%.*} ${name##*.} " <(sed 's/\\-/-/g; s/^\(\.TH \)\([^ ]*\)/\1\L\2/' "$page") ||
        fail "$page: .TH does not name the page ${name%.*}(${name##*.})"
done

exit "$status"

#!/usr/bin/env bash
# Usage: check-metainfo.sh SOURCE_DIR
set -euo pipefail
source_dir="$1"
app_id="io.github.vesmira.Vesmira"
metainfo="$source_dir/packaging/$app_id.metainfo.xml"
. "$(dirname "$0")/checks.sh"

# --strict fails on warnings and infos too; pedantic hints (such as capitals in the reverse-DNS id) stay allowed.
appstreamcli validate --no-net --strict "$metainfo" || fail "appstreamcli rejected $metainfo"

field() {
    sed -n "0,/<$1>/s|.*<$1>\\(.*\\)</$1>.*|\\1|p" "$metainfo"
}
[ "$(field id)" = "$app_id" ] || fail "id is '$(field id)', not $app_id"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
    fail "launchable does not name $app_id.desktop"
[ -f "$source_dir/packaging/$app_id.desktop" ] || fail "the launchable desktop entry is missing"
grep -q '<binary>vesmira</binary>' "$metainfo" || fail "does not provide the binary vesmira"
grep -q '<project_license>MIT</project_license>' "$metainfo" || fail "project_license is not MIT"
grep -q '^MIT License$' "$source_dir/LICENSE" || fail "LICENSE is not the MIT license the metainfo states"
grep -q '<summary xml:lang="ja">' "$metainfo" || fail "no Japanese summary"
grep -q '<p xml:lang="ja">' "$metainfo" || fail "no Japanese description"

# The newest release must be the version CMake builds.
project_version="$(sed -n 's/^project(Vesmira VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")"
release="$(sed -n '0,/<release /s/.*<release version="\([^"]*\)".*/\1/p' "$metainfo")"
[ "$release" = "$project_version" ] || fail "newest release $release is not the project version $project_version"

exit "$status"

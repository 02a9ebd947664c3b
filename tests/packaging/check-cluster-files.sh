#!/usr/bin/env bash
# Usage: check-cluster-files.sh TEMPLATE_UNIT FULL_BINDIR SERVER_BINARY HAPROXY_CFG
# The files a cluster is run with: HAProxy accepts the shipped configuration, systemd an instance of the node unit,
# and the server the options the unit gives it.
set -euo pipefail
export LC_ALL=C.UTF-8
unit="$1"
bindir="$2"
server="$3"
haproxy_cfg="$4"
. "$(dirname "$0")/checks.sh"

# The TLS frontend reads its certificate at the check: one made here stands in for /etc/haproxy/vesmira.pem.
"$server" tls-init --cert "$tmp/cert.pem" --key "$tmp/key.pem" --name cluster.example >/dev/null
cat "$tmp/cert.pem" "$tmp/key.pem" >"$tmp/vesmira.pem"
sed "s|crt /etc/haproxy/vesmira.pem|crt $tmp/vesmira.pem|" "$haproxy_cfg" >"$tmp/haproxy.cfg"
grep -q '^ *bind :3443 ssl crt ' "$tmp/haproxy.cfg" || fail "no TLS frontend on port 3443"
report="$(haproxy -c -f "$tmp/haproxy.cfg" 2>&1)" || fail "haproxy -c rejects $haproxy_cfg: $report"
grep -q '^ *default-server .*send-proxy-v2' "$haproxy_cfg" || fail "the nodes are not sent PROXY v2 headers"
grep -q '^ *ssl-default-bind-options .*ssl-min-ver TLSv1.2' "$haproxy_cfg" || fail "TLS older than 1.2 is offered"

# The options of ExecStart, with the instance and the variables of cluster.conf filled in as systemd would.
exec_start="$(sed -n 's/^ExecStart=//p' "$unit")"
exec_start="${exec_start//%i/3001}"
exec_start="${exec_start//\$\{VESMIRA_DB\}/postgresql://vesmira@db.example/vesmira}"
exec_start="${exec_start//\$\{VESMIRA_RELAY\}/redis://cache.example:6379}"
exec_start="${exec_start//\$VESMIRA_OPTIONS/--max-per-address 64}"
check_exec_start "$exec_start"

mkdir -p "$tmp/root/etc/vesmira"
printf 'VESMIRA_DB=postgresql://vesmira@db.example/vesmira\nVESMIRA_RELAY=redis://cache.example:6379\n' \
    >"$tmp/root/etc/vesmira/cluster.conf"
verify_unit "$unit" vesmira-server@.service vesmira-server@3001.service

exit "$status"

#!/bin/sh
# Runs a command with the tests' authority (tests/support/tls) trusted by the system,
# as a machine trusts its company's authority: in a mount namespace of its own, the
# system's certificate bundle, which libcurl and Wine read, is replaced by a copy that
# also holds it. Nothing outside the command sees the change. It needs root (unshare
# and mount); without, the test is skipped (status 77).
# Usage: with_test_authority.sh CA_PEM COMMAND [ARGS...]
set -eu
ca=$1
shift
system=/etc/ssl/certs/ca-certificates.crt
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null || [ ! -f "$system" ]; then
  echo "skipped: trusting the test authority needs root, unshare and $system"
  exit 77
fi
bundle=$(mktemp)
trap 'rm -f "$bundle"' EXIT
cat "$system" "$ca" >"$bundle"
unshare -m sh -c 'mount --bind "$0" /etc/ssl/certs/ca-certificates.crt && exec "$@"' "$bundle" "$@"

#!/bin/sh
# Usage: with_test_ca.sh COMMAND [ARG...]
# Runs COMMAND trusting a fresh test CA the way the unmodified program would:
# libcurl reads the compiled-in /etc/ssl/certs/ca-certificates.crt, so that
# file is replaced, in a private mount namespace only, by the system bundle
# plus the test CA. Needs root. COMMAND gets TARSEL_TEST_CA_DIR (ca.pem,
# server.pem, server.key of the trusted CA) and TARSEL_TEST_ROGUE_CA_DIR (the
# same from a CA nobody trusts).
set -eu
tools=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
/usr/bin/python3 "$tools/fake_endpoint.py" make-ca "$work/trusted"
/usr/bin/python3 "$tools/fake_endpoint.py" make-ca "$work/rogue"
TARSEL_TEST_CA_DIR=$work/trusted
TARSEL_TEST_ROGUE_CA_DIR=$work/rogue
export TARSEL_TEST_CA_DIR TARSEL_TEST_ROGUE_CA_DIR
status=0
unshare --mount --propagation private -- /bin/sh -c \
  'mount --bind "$TARSEL_TEST_CA_DIR/bundle.pem" /etc/ssl/certs/ca-certificates.crt && exec "$@"' \
  with_test_ca "$@" || status=$?
exit "$status"

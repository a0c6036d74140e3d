#!/usr/bin/env bash
# Builds this tree and runs the plain build's tests (unit, end-to-end, package)
# inside a Debian 13 root, so that a change that breaks Debian 13 fails the test
# command on a Debian 12 machine too. The Windows rows and the benchmarks stay
# on the host.
#
# The root is made once per machine with debootstrap, from the archive this
# machine's apt uses, and kept outside the checkout (TARSEL_DEBIAN13_ROOT moves
# it); later runs bring it up to date with apt-get upgrade. Dependencies come
# through scripts/install-deps.sh inside it. Every mount is made inside a
# private mount namespace, so all of them go away with it, whatever the exit.
#
# Usage: scripts/debian13-root.sh   (as root)
set -euo pipefail
cd "$(dirname "$0")/.."

suite=trixie
src=$PWD
root=${TARSEL_DEBIAN13_ROOT:-/var/cache/tarsel-translator/debian13}
build=build/debian13

# "URI suite" for every binary entry of this machine's apt sources, in both
# the deb822 (*.sources) and the one-line (sources.list) formats.
host_archives() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    awk '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && enabled != "no")
          for (i = 1; i <= nu; i++) for (j = 1; j <= ns; j++) print u[i], s[j]
        types = ""; enabled = ""; nu = 0; ns = 0
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      { line = $0; sub(/^[^:]*:[ \t]*/, "", line); key = tolower($1) }
      key == "types:" { types = line }
      key == "enabled:" { enabled = tolower(line) }
      key == "uris:" { nu = split(line, u, /[ \t]+/) }
      key == "suites:" { ns = split(line, s, /[ \t]+/) }
      END { flush() }' "$f"
  done
  { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
    awk '$1 == "deb" {
      i = 2
      if ($i ~ /^\[/) while ($i !~ /\]$/) i++
      if ($i ~ /\]$/ && $2 ~ /^\[/) i++
      print $i, $(i + 1)
    }'
}

# The main archive carries a suite without a dash (bookworm), the security
# archive the one ending in -security.
archives=$(host_archives)
mirror=$(awk '$2 !~ /-/ { print $1; exit }' <<<"$archives")
security=$(awk '$2 ~ /-security$/ { print $1; exit }' <<<"$archives")
if [ -z "$mirror" ]; then
  echo "debian13-root: no Debian archive found in this machine's apt sources" >&2
  exit 1
fi

make_root() {
  local work=$root.work
  rm -rf "$work"
  mkdir -p "$(dirname "$root")"
  # debootstrap mounts /proc and /sys in the new root; its own mount namespace
  # takes them away even when it fails half-way.
  unshare --mount --propagation private \
    debootstrap --variant=minbase "$suite" "$work" "$mirror"
  rm -f "$work/etc/apt/sources.list"
  {
    printf 'Types: deb\nURIs: %s\nSuites: %s %s-updates\nComponents: main\n' \
      "$mirror" "$suite" "$suite"
    printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
    if [ -n "$security" ]; then
      printf '\nTypes: deb\nURIs: %s\nSuites: %s-security\nComponents: main\n' \
        "$security" "$suite"
      printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
    fi
  } >"$work/etc/apt/sources.list.d/debian.sources"
  # Packages installed in the root must not start their services.
  printf '#!/bin/sh\nexit 101\n' >"$work/usr/sbin/policy-rc.d"
  chmod 755 "$work/usr/sbin/policy-rc.d"
  mv "$work" "$root"
}

# Runs inside the root: refresh it, install the dependencies, build, test.
inside() {
  export DEBIAN_FRONTEND=noninteractive
  local t=$SECONDS
  apt-get -qq update
  apt-get -qq -y upgrade
  scripts/install-deps.sh test-native
  apt-get clean
  echo "debian13-root: upgrade and dependencies took $((SECONDS - t)) s"
  t=$SECONDS
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)"
  echo "debian13-root: build took $((SECONDS - t)) s"
  t=$SECONDS
  local status=0
  (cd "$build" && ctest --output-on-failure -j"$(nproc)" --timeout 900 \
    -LE windows -E '^bench_') || status=1
  echo "debian13-root: tests took $((SECONDS - t)) s"
  return $status
}

# Runs in a private mount and PID namespace: everything mounted here, and
# every process started in the root, ends with it.
in_namespace() {
  # unshare --mount inside the root (the end-to-end tests do) needs the
  # root to be a mount point.
  mount --bind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/dev/shm"
  mount -t tmpfs tmpfs "$root/tmp"
  mount -t tmpfs tmpfs "$root/run"
  mkdir -p "$root/src"
  mount --bind "$src" "$root/src"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  exec chroot "$root" /usr/bin/env -i \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
    /bin/bash -c 'cd /src && scripts/debian13-root.sh --inside'
}

case ${1:-} in
  --inside) inside; exit ;;
  --namespace) in_namespace; exit ;;
esac

if [ "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" = "$suite" ]; then
  echo "debian13-root: this machine is Debian 13 itself, which its own builds test"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "debian13-root: run as root (debootstrap, chroot, namespaces)" >&2
  exit 1
fi
command -v debootstrap >/dev/null || scripts/install-deps.sh test

# One run at a time per root: its apt and its /src are shared.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9

if [ ! -x "$root/usr/bin/apt-get" ]; then
  t=$SECONDS
  echo "=== making the Debian 13 root in $root from $mirror ==="
  make_root
  echo "debian13-root: making the root took $((SECONDS - t)) s"
fi

echo "=== Debian 13 root: plain build and tests ==="
t=$SECONDS
status=0
unshare --mount --pid --fork --kill-child --propagation private \
  "$src/scripts/debian13-root.sh" --namespace || status=$?
echo "debian13-root: upgrade, build and tests took $((SECONDS - t)) s"
exit $status

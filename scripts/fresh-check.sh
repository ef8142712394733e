#!/bin/bash
# Runs the test command as on a machine where nothing was installed by hand:
# a fresh Debian chroot made by debootstrap from this machine's own APT
# sources, a clean clone of this repository in it, set-up (which apt-gets
# what it needs), then the command. Needs root.
#
#   scripts/fresh-check.sh FOLDER [COMMAND...]   default COMMAND: scripts/test.sh
#
# FOLDER must be absent or empty. The chroot stays there for a look
# afterwards (its log is FOLDER/fresh-check.log); nothing stays mounted, and
# no process started in it outlives the run.
#
# Set-up runs with the machine's network. The command runs in a network of
# its own that has only loopback: the tests need nothing else, and the
# machine's UDP discovery ports, X displays and abstract sockets stay free for
# whatever else runs here meanwhile. Everything is mounted inside a mount
# namespace of its own (proc, sys, dev, dev/pts, dev/shm, tmp: what Wine and
# X need), so it goes when the run ends however it ends; every process
# started in the chroot lives in a PID namespace of its own and ends with it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 1 ]; then
  echo "usage: $0 FOLDER [COMMAND...]" >&2
  exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-check: needs root (debootstrap, chroot and mounts)" >&2
  exit 2
fi
mkdir -p "$1"
dir=$(cd "$1" && pwd)
shift
if [ -n "$(ls -A "$dir")" ]; then
  echo "fresh-check: $dir is not empty" >&2
  exit 2
fi
command=("$@")
[ ${#command[@]} -gt 0 ] || command=(scripts/test.sh)
log="$dir/fresh-check.log"
exec > >(tee "$log") 2>&1

# Anything still mounted below the chroot when the run ends (none should be:
# the mounts belong to the namespaces) is unmounted, deepest first.
unmount_all() {
  local target
  { findmnt -rno TARGET | grep -F "$dir/" || true; } | sort -r | while read -r target; do
    echo "fresh-check: unmounting $target, left mounted"
    umount -l "$target" || true
  done
}
trap unmount_all EXIT

for tool in debootstrap unshare findmnt ip git; do
  if ! command -v "$tool" >/dev/null; then
    echo "fresh-check: installing debootstrap (Debian's tool for a fresh system in a folder)"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap util-linux iproute2 git >/dev/null
    break
  fi
done

# This machine's release, the archive its APT takes it from, that archive's
# key, and the APT source files the chroot gets in place of debootstrap's one
# line (without the entries set-up adds itself: a fresh machine lacks them).
. /etc/os-release
suite=$VERSION_CODENAME
readarray -t apt_info < <(SUITE="$suite" python3 - "$root/scripts" <<'EOF'
import os, sys
sys.path.insert(0, sys.argv[1])
import debsrc
suite = os.environ["SUITE"]
paths = [p for p in debsrc.default_paths() if os.path.isfile(p) and not os.path.basename(p).startswith("tunerhost-")]
main = None
for path in paths:
    for e in debsrc.entries([path]):
        if e["enabled"] and "deb" in e["types"] and suite in e["suites"] and e["uris"] and main is None:
            main = e
if main is None:
    sys.exit("fresh-check: APT has no enabled binary source for " + suite)
print(main["uris"][0])
print(main["signed-by"] if main["signed-by"].startswith("/") else "")
for path in paths:
    print(path)
EOF
)
[ ${#apt_info[@]} -ge 2 ] || exit 1
mirror=${apt_info[0]}
keyring=${apt_info[1]}
sources=("${apt_info[@]:2}")
arch=$(dpkg --print-architecture)
extra=()
[ -z "$keyring" ] || extra+=(--keyring="$keyring")
# The certificate authorities: an https source needs them, and so does the
# npm registry.
extra+=(--include=ca-certificates)

started=$(date +%s)
echo "== fresh-check: debootstrap --variant=minbase --arch=$arch $suite $dir $mirror"
debootstrap --variant=minbase --arch="$arch" "${extra[@]}" "$suite" "$dir" "$mirror" >"$dir/debootstrap.log" 2>&1 || {
  tail -n 30 "$dir/debootstrap.log"
  echo "fresh-check: debootstrap failed (its log: $dir/debootstrap.log)"
  exit 1
}
rm -f "$dir/etc/apt/sources.list"
for f in "${sources[@]}"; do
  cp "$f" "$dir/etc/apt/sources.list.d/"
  # The keys the entries name.
  for key in $(sed -nE 's/^Signed-By: *(\/[^ ]+).*/\1/p; s/.*\[.*signed-by=(\/[^] ]+).*/\1/p' "$f"); do
    if [ -f "$key" ] && [ ! -f "$dir$key" ]; then install -D -m 644 "$key" "$dir$key"; fi
  done
done
# How this machine reaches those sources (proxies, checks of the indexes' dates).
for f in /etc/apt/apt.conf /etc/apt/apt.conf.d/*; do
  if [ -f "$f" ] && grep -qs 'Acquire::' "$f"; then cp "$f" "$dir$f"; fi
done
# The certificate authorities this machine adds of its own (a proxy's, say),
# and where it tells Node to find them: without them the npm registry is out
# of reach from here, as it would be from this machine.
if [ -d /usr/local/share/ca-certificates ]; then
  cp -r /usr/local/share/ca-certificates/. "$dir/usr/local/share/ca-certificates/"
  chroot "$dir" update-ca-certificates >/dev/null
fi
node_ca=()
if [ -n "${NODE_EXTRA_CA_CERTS:-}" ] && [ -f "$dir$NODE_EXTRA_CA_CERTS" ]; then
  node_ca=("NODE_EXTRA_CA_CERTS=$NODE_EXTRA_CA_CERTS")
fi
# The names every machine resolves by itself.
[ -s "$dir/etc/hosts" ] || printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$dir/etc/hosts"

echo "== fresh-check: a clean clone of $root ($(git -C "$root" rev-parse --abbrev-ref HEAD) at $(git -C "$root" rev-parse --short HEAD))"
git clone -q --no-hardlinks "$root" "$dir/root/tunerhost"

# in_chroot [--net] COMMAND: COMMAND by bash in the clone, in the chroot, in
# namespaces of its own (--net: a network of its own with loopback alone).
in_chroot() {
  local net=()
  if [ "$1" = --net ]; then net=(--net); shift; fi
  local inner='
    set -e
    d=$1; shift
    mount -t proc proc "$d/proc"
    mount -t sysfs sys "$d/sys"
    mount --bind /dev "$d/dev"
    mount --bind /dev/pts "$d/dev/pts"
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$d/dev/shm"
    mount -t tmpfs -o mode=1777 tmp "$d/tmp"
    [ "$NET" = 0 ] || ip link set lo up
    exec chroot "$d" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb CI=true $NODE_CA \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      /bin/bash -c "cd /root/tunerhost && $*"'
  NET=${#net[@]} NODE_CA="${node_ca[*]}" unshare --mount --propagation private --pid --fork "${net[@]}" \
    /bin/bash -c "$inner" fresh-check "$dir" "$@" </dev/null
}

status=0
echo "== fresh-check: scripts/setup.sh in the chroot"
in_chroot scripts/setup.sh || status=$?
setup_status=$status
if [ "$status" = 0 ]; then
  echo "== fresh-check: ${command[*]} in the chroot, loopback its only network"
  in_chroot --net "$(printf '%q ' "${command[@]}")" || status=$?
fi
unmount_all
trap - EXIT

echo
echo "== fresh-check: report"
echo "chroot:  $dir (Debian $suite, $arch, minbase, from $mirror)"
echo "time:    $(( ($(date +%s) - started) / 60 )) min"
echo "set-up:  exit $setup_status"
if [ "$setup_status" = 0 ]; then
  echo "command: ${command[*]}: exit $status"
fi
# What set-up could not install, the sections of the command's output with
# their counts, and each test that failed.
grep -E '^setup: .*(could not|cannot)|^== |tests passed, .* failed|^error: |^[[:space:]]+[0-9]+ - .*\(' "$log" |
  grep -v '^== fresh-check' || true
left=$(findmnt -rno TARGET | grep -cF "$dir/" || true)
echo "mounts left under $dir: $left"
exit "$status"

#!/bin/bash
# scripts/apt-update.sh against a stand-in apt-get that fails as mirrors and
# networks do: only what a wait mends is tried again, anything else goes on
# at once with one line saying what was left out and why.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
script="$here/../../scripts/apt-update.sh"
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
# The stand-in answers the Nth call with the Nth line of $bin/answers
# ("ok", or a message to print before exiting 100); its calls are counted.
cat >"$bin/apt-get" <<'STAND_IN'
#!/bin/bash
dir=$(dirname "$0")
n=$(($(cat "$dir/calls" 2>/dev/null || echo 0) + 1))
echo $n >"$dir/calls"
line=$(sed -n "${n}p" "$dir/answers")
[ "$line" = ok ] && exit 0
printf '%b\n' "$line" >&2
exit 100
STAND_IN
printf '#!/bin/bash\nexec "$@"\n' >"$bin/sudo"
chmod +x "$bin/apt-get" "$bin/sudo"
failed=0
run() {  # NAME CALLS-EXPECTED MAX-SECONDS PATTERN ANSWER...
  local name=$1 calls=$2 max=$3 pattern=$4
  shift 4
  printf '%s\n' "$@" >"$bin/answers"
  rm -f "$bin/calls"
  local start=$SECONDS err
  err=$(PATH="$bin:$PATH" SETUP_RETRY_SECONDS=0 timeout 30 "$script" 2>&1 >/dev/null)
  local code=$? took=$((SECONDS - start)) got
  got=$(cat "$bin/calls")
  if [ $code -ne 0 ] || [ "$got" != "$calls" ] || [ $took -gt "$max" ] || ! grep -qE "$pattern" <<<"$err"; then
    echo "FAILED $name: exit $code, $got calls (want $calls), $took s (at most $max), said: $err"
    failed=1
  else
    echo "ok $name: $got calls, $took s: $(tail -n 1 <<<"$err")"
  fi
}
size='E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (1234 != 5678). Mirror sync in progress? [IP: 151.101.2.132 80]\nE: Some index files failed to download. They have been ignored, or old ones used instead.'
lock='E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 (apt-get)\nE: Unable to lock directory /var/lib/apt/lists/'
net='W: Failed to fetch http://deb.debian.org/debian/dists/bookworm/InRelease  Temporary failure resolving '"'"'deb.debian.org'"'"'\nE: Some index files failed to download.'
# One that no wait mends: no second call (so no wait), the index named with why.
run size 1 20 '^setup: apt-get update left out http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz \(File has unexpected size \(1234 != 5678\)\. Mirror sync in progress\?\); going on' "$size"
# A lock held, then free: tried again.
run lock 2 20 'trying again in 0 s' "$lock" ok
# A network that stays away: four tries, then what was left out.
run network 4 20 "left out http://deb.debian.org/debian/dists/bookworm/InRelease \(Temporary failure resolving 'deb.debian.org'\)" "$net" "$net" "$net" "$net"
exit $failed

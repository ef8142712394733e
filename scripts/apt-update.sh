#!/bin/bash
# apt-get update for set-up, tried again only where waiting mends what
# failed: a network that did not answer, or another apt holding its lock
# (20, 40, 60 s apart). Anything else (a mirror caught mid-sync serving an
# index that fails its size or hash check, a suite that is gone) no wait
# mends: it goes on at once with the indexes it has, saying in one line what
# was left out and why; the install that follows says whether it was enough.
# Always exits 0. SETUP_RETRY_SECONDS: the first wait (20).
set -uo pipefail
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
unit=${SETUP_RETRY_SECONDS:-20}
mendable='Could not get lock|Unable to lock|Temporary failure resolving|Could not resolve|Could not connect|Unable to connect|Connection (timed out|refused|failed|reset)|Network is unreachable|No route to host|Operation timed out'
for try in 1 2 3 4; do
  out=$($sudo_cmd apt-get update -qq 2>&1) && exit 0
  if [ "$try" -lt 4 ] && grep -qiE "$mendable" <<<"$out"; then
    why=$(grep -oiE "$mendable" <<<"$out" | head -n 1)
    echo "setup: apt-get update failed ($why); trying again in $((try * unit)) s" >&2
    sleep $((try * unit))
    continue
  fi
  break
done
# "E: Failed to fetch URL  REASON [IP: ...]" per index left out.
left=$(sed -nE 's/^[EW]: Failed to fetch ([^ ]+) +(.*)$/\1 (\2)/p' <<<"$out" | sed -E 's/ *\[IP: [^]]*\]//' |
       paste -sd ';' - | sed 's/;/; /g')
[ -n "$left" ] || left="nothing named ($(grep -m 1 -E '^[EW]: ' <<<"$out" || echo "no message"))"
echo "setup: apt-get update left out $left; going on with the indexes it has" >&2
exit 0

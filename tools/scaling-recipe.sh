#!/usr/bin/env bash
# The one-machine scaling recipe of docs/scaling.md, run against the scripted
# farm: a project's list split into 3 shards by domain, checked at once by GNU
# parallel (each shard from its own loopback source address), the results
# merged back into the project, which must then equal a single run's.
#
#   tools/scaling-recipe.sh BIN_DIR
#
# Needs GNU parallel (tools/install-deps.sh installs it). Exit status 0 when
# the merged project equals the single run's.
set -euo pipefail
bin="$(cd "${1:?usage: scaling-recipe.sh BIN_DIR}" && pwd)"
work="$(mktemp -d)"
trap 'kill "$farm" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"

# The farm says where it listens on its first lines; they are read as they come.
mkfifo farm.out
"$bin/orvane-farm" --domains 30 --hosts 4 >farm.out 2>&1 &
farm=$!
exec 3<farm.out
dns="" port=""
while [ -z "$port" ] && read -r line <&3; do
  case "$line" in
    "DNS server: "*) dns="${line#DNS server: }" ;;
    "SMTP port: "*) port="${line#SMTP port: }" ;;
  esac
done
[ -n "$dns" ] && [ -n "$port" ] || { echo "scaling recipe: the farm did not start" >&2; exit 1; }

# A project of 300 addresses over 30 domains, a third of them refused.
for i in $(seq 0 299); do
  [ $((i % 3)) = 0 ] && p=no || p=ok
  echo "$p$i@d$((i % 30)).test"
done >addresses.txt
"$bin/orvane-cli" import addresses.txt -o customers.orp --first-line data >/dev/null
cp customers.orp single.orp

common=(--from checker@origin.test --dns "$dns" --smtp-port "$port" --connections 30)

# --- the recipe (docs/scaling.md) ---
"$bin/orvane-cli" export customers.orp --addresses -o list.txt
parallel --will-cite --link -j 3 "$bin/orvane-cli" check "${common[@]}" --list list.txt \
  --shard {1}/3 --source-address {2} --format jsonl --output part{1}.jsonl --resume \
  ::: 1 2 3 ::: 127.0.0.11 127.0.0.12 127.0.0.13 2>/dev/null
"$bin/orvane-cli" merge customers.orp part1.jsonl part2.jsonl part3.jsonl
# --- end of the recipe ---

"$bin/orvane-cli" run "${common[@]}" single.orp >/dev/null 2>&1
if ! diff <("$bin/orvane-cli" show customers.orp) <("$bin/orvane-cli" show single.orp); then
  echo "scaling recipe: the merged project differs from a single run's" >&2
  exit 1
fi
echo "scaling recipe: 3 shards merged equal a single run ($(wc -l <list.txt) addresses)"

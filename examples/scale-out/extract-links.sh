#!/usr/bin/env bash
# Extracts the link targets of many HTML files on many machines with GNU
# parallel: each file is sent to one of the machines, tagcut runs there with
# the file as its standard input, and FILE.links comes back beside FILE; the
# remote copies are removed afterwards.
#
# A file is the unit of work: each one goes whole to one run of tagcut, so
# the result is exactly what a local run per file gives. Never cut one file
# (one stream) at arbitrary offsets and feed the pieces to separate runs: a
# portion cut by a split would come out cut short in one run and be missing
# from the next.
#
# Usage: extract-links.sh SSHLOGINS FILE...
#   SSHLOGINS   GNU parallel's --sshlogin list, e.g. "8/alice@host1,8/host2,:"
#               (":" is this machine; "2/:" two jobs at a time here; a list
#               of this machine alone works too)
# Environment:
#   TAGCUT      the tagcut command on the remote machines (default: tagcut)
#   SSH         the ssh command GNU parallel uses (default: ssh)
# The files are named relative to the current directory; the remote machines
# need tagcut, and both ends rsync (GNU parallel transfers with it).
set -euo pipefail
if (($# < 2)); then
  echo "usage: $0 SSHLOGINS FILE..." >&2
  exit 1
fi
logins=$1
shift
tagcut=$(printf '%q' "${TAGCUT:-tagcut}")
here=$(printf '%q' "$PWD")
run="$tagcut 'href=\"' '\"' < {} > {}.links"
# Files go to remote machines and their links come back; with no remote
# machine in the list there is nothing to send.
transfer=()
IFS=, read -ra entries <<< "$logins"
for entry in "${entries[@]}"; do
  if [[ "${entry#*/}" != ":" ]]; then
    transfer=(--transferfile {} --return {}.links --cleanup --workdir ...)
  fi
done
# Every machine must have tagcut before any file is written: a job that
# cannot run it would leave an empty FILE.links, which reads as "no links".
if ! parallel --will-cite --nonall --sshlogin "$logins" --ssh "${SSH:-ssh}" \
       "command -v $tagcut > /dev/null || { echo \"\$(hostname): no $tagcut\" >&2; exit 1; }"; then
  echo "$0: tagcut is missing on a machine; nothing was written" >&2
  exit 1
fi
# A remote job runs in a fresh working directory that the file was sent to;
# a job on this machine runs in a fresh directory too, but gets no transfer,
# so it reads and writes beside the file where it is.
parallel --will-cite --sshlogin "$logins" --ssh "${SSH:-ssh}" "${transfer[@]}" \
         "if [ -e {} ]; then $run; else cd $here && $run; fi" ::: "$@"

#!/usr/bin/env bash
# Runs examples/scale-out/extract-links.sh for real: an sshd on 127.0.0.1 with
# throwaway host and client keys in the build tree, on a port of its own,
# serves as the remote machine, alone, beside this machine (":") and not at
# all; the links that come back must equal a local one-file-at-a-time run
# byte for byte. The sshd is stopped at the end.
# Usage: scale_out.sh BUILD_DIR SOURCE_DIR   (as root; needs openssh-server,
# parallel and rsync)
set -euo pipefail
build_dir=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
work=$build_dir/scale-out
rm -rf "$work"
mkdir -p "$work/files" "$work/local"
port=${SCALE_OUT_PORT:-22222}

ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/client_key"
cp "$work/client_key.pub" "$work/authorized_keys"
cat > "$work/sshd_config" <<CONFIG
ListenAddress 127.0.0.1
Port $port
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PidFile $work/sshd.pid
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
StrictModes no
UsePAM no
CONFIG
cat > "$work/ssh_config" <<CONFIG
Host 127.0.0.1
  Port $port
  IdentityFile $work/client_key
  IdentitiesOnly yes
  UserKnownHostsFile $work/known_hosts
  StrictHostKeyChecking accept-new
  BatchMode yes
CONFIG
mkdir -p /run/sshd
/usr/sbin/sshd -f "$work/sshd_config" -E "$work/sshd.log"
trap 'kill "$(cat "$work/sshd.pid")" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  ssh -F "$work/ssh_config" 127.0.0.1 true 2>/dev/null && break
  sleep 0.1
done

# Inputs: HTML pages with links, one file per page.
for i in $(seq 1 24); do
  {
    printf '<html><body>\n'
    for j in $(seq 1 $((i * 40))); do
      printf '<p><a href="page-%d-%d.html">link %d</a> text "quoted" <a href="#s%d">s</a></p>\n' "$i" "$j" "$j" "$j"
    done
    printf '<a href="cut-short\n'
  } > "$work/files/page-$i.html"
done
cp "$source_dir/examples/page.html" "$work/files/example.html"

cd "$work/files"
files=(*.html)
for file in "${files[@]}"; do
  "$build_dir/tagcut" 'href="' '"' < "$file" > "$work/local/$file.links"
done
# The remote machine alone, this machine alone (one and two slots), and both.
for logins in "2/127.0.0.1" ":" "2/:" "1/:,2/127.0.0.1"; do
  rm -f ./*.links
  TAGCUT=$build_dir/tagcut SSH="ssh -F $work/ssh_config" \
    "$source_dir/examples/scale-out/extract-links.sh" "$logins" "${files[@]}"
  for file in "${files[@]}"; do
    cmp "$file.links" "$work/local/$file.links"
  done
  echo "scale-out with \"$logins\": ${#files[@]} files, same bytes as local runs"
done
# A machine without tagcut: refused before anything is written.
for logins in "2/127.0.0.1" ":"; do
  rm -f ./*.links
  if TAGCUT=/nonexistent/tagcut SSH="ssh -F $work/ssh_config" \
       "$source_dir/examples/scale-out/extract-links.sh" "$logins" "${files[@]}" 2> "$work/missing.err"; then
    echo "scale-out with no tagcut on \"$logins\" succeeded"; exit 1
  fi
  links=(./*.links)
  [[ ! -e "${links[0]}" ]] || { echo "scale-out with no tagcut on \"$logins\" left ${links[*]}"; exit 1; }
  echo "scale-out with no tagcut on \"$logins\": refused, nothing written"
done

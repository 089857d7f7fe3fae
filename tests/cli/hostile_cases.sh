#!/usr/bin/env bash
# The command line under hostile input: runs each case against the given korvane-update and prints
# the command, what the program wrote, its exit status and what the simulated device received.
# A transcript for comparing two builds, not a test: nothing here passes or fails.
#
#   bash tests/cli/hostile_cases.sh BINARY [TOOLS_DIR]
#
# TOOLS_DIR holds kvsim and qfwpack (default build/native/bin). Some cases run the program as the
# user nobody (setpriv), so the binary must be where nobody can run it.
set -u
[ $# -ge 1 ] || { echo "usage: $0 BINARY [TOOLS_DIR]" >&2; exit 2; }
KU=$(realpath "$1")
TOOLS=$(realpath "${2:-build/native/bin}")
W=$(mktemp -d /tmp/kv-hostile.XXXXXX)
chmod 755 "$W"
export KU W

declare -A pid_of slave_of
holders=()
cleanup() {
  for p in "${pid_of[@]}" "${holders[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$W"
}
trap cleanup EXIT

# device NAME [kvsim flags]: a simulated device linked at $W/NAME.
device() {
  local name=$1
  shift
  "$TOOLS/kvsim" --link "$W/$name" --frames-log "$W/$name.frames" --image-out "$W/$name.image" "$@" \
    >"$W/$name.out" &
  pid_of[$name]=$!
  for _ in $(seq 100); do
    grep -q '^ready$' "$W/$name.out" 2>/dev/null && break
    sleep 0.05
  done
  slave_of[$name]=$(head -1 "$W/$name.out")
}

declare -A mark_of
# mark NAME: frames() shows only what the device receives from here on.
mark() { mark_of[$1]=$(wc -l <"$W/$1.frames"); rm -f "$W/$1.image"; }

# frames NAME [N]: what the device received since the mark, the last N frames listed (image
# chunks counted, not listed).
frames() {
  local new
  new=$(tail -n +$((${mark_of[$1]:-0} + 1)) "$W/$1.frames")
  echo "  [device $1 received $(grep -c . <<<"$new") frames, $(awk '{n += $4} END {print n + 0}' <<<"$new") bytes]"
  grep -v ' 25[67]: ' <<<"$new" | grep . | cut -c1-72 | tail -n "${2:-4}" | sed 's/^/  [  /; s/$/ ]/'
}

same_image() {
  if cmp -s "$W/$1.image" <(tail -c +257 "$W/p.qfw"); then echo "  [image byte-exact: yes]"; else
    echo "  [image byte-exact: no]"
  fi
}

# run TITLE COMMAND: the command runs in bash with $KU and $W set; of the progress lines only the
# last is shown, in its place.
run() {
  echo
  echo "### $1"
  echo "\$ $2"
  (
    set -o pipefail
    eval "$2"
  ) >"$W/stdout" 2>"$W/stderr"
  local status=$?
  sed 's/^/  out| /' "$W/stdout"
  [ -n "$(tail -c1 "$W/stdout")" ] && echo " (no newline at the end)"
  awk -v last="$(grep -c '^Uploading: ' "$W/stderr")" \
    '/^Uploading: / { if (++n < last) next; $0 = "(...) " $0 } { print "  err| " $0 }' "$W/stderr"
  echo "  exit status $status"
}

"$TOOLS/qfwpack" --out "$W/p.qfw" --body-size 4096 >/dev/null
echo "binary: $KU"
echo "W=$W"

# 1. A port name longer than 259 characters.
long_name=$(printf 'd%.0s' $(seq $((259 - ${#W} - 1))))
export LONG=$W/$long_name
device "$long_name" --new-version 2.21
echo "LONG=\$W/ddd...d (${#LONG} characters, a device)"
run "1. detect: a port name of 265 characters whose first 259 name a device" \
  '$KU detect --port "$LONG-other"'
frames "$long_name"
mark "$long_name"
run "1. flash: the same port name" '$KU flash $W/p.qfw --port "$LONG-other"'
frames "$long_name"
[ -e "$W/$long_name.image" ] && echo "  [the device at \$LONG took an image of $(stat -c %s "$W/$long_name.image") bytes]"

# 2. The trace file.
device dev --new-version 2.21
device other
chmod 666 "${slave_of[dev]}"
ln -s "${slave_of[dev]}" "$W/dev-again"
cp "$W/p.qfw" "$W/victim.qfw"
ln -s victim.qfw "$W/victim-link.qfw"
export OTHER=${slave_of[other]}
echo "OTHER=$OTHER (the slave of another simulated device)"
before=$(sha256sum <"$W/victim.qfw")
run "2. the trace is the package" '$KU flash $W/victim.qfw --port $W/dev --trace=$W/victim.qfw'
[ "$(sha256sum <"$W/victim.qfw")" = "$before" ] && echo "  [package intact: yes]" ||
  echo "  [package intact: no, now $(stat -c %s "$W/victim.qfw") bytes: $(head -c 40 "$W/victim.qfw" | tr '\n' ' ')...]"
frames dev 2
cp "$W/p.qfw" "$W/victim.qfw"
mark dev
run "2. the trace is the package through a link" \
  '$KU flash $W/victim.qfw --port $W/dev --trace=$W/victim-link.qfw'
[ "$(sha256sum <"$W/victim.qfw")" = "$before" ] && echo "  [package intact: yes]" || echo "  [package intact: no]"
frames dev 2
mark dev
run "2. the trace is the port, through another link" '$KU detect --port $W/dev --trace=$W/dev-again'
frames dev 3
run "2. the trace is /dev/null" '$KU detect --port $W/dev --trace=/dev/null'
run "2. the trace is another pseudo-terminal (another device)" '$KU detect --port $W/dev --trace=$OTHER'
frames other 2
run "2. the trace is /dev/full" '$KU detect --port $W/dev --trace=/dev/full'
run "2. the trace file cannot be written (file size limit 0, as on a full disk; both outputs to a pipe)" \
  '(ulimit -f 0; trap "" XFSZ; exec $KU detect --port $W/dev --trace=$W/trace.txt) 2>&1 | cat'
echo "  [trace file: $(stat -c %s "$W/trace.txt" 2>/dev/null || echo none) bytes]"

# 3. Output that cannot be written.
run "3. detect --json to a full device" '$KU detect --json --port $W/dev > /dev/full'
run "3. --version to a full device" '$KU --version > /dev/full'
mark dev
run "3. flash into head -c1" '$KU flash $W/p.qfw --port $W/dev | head -c1'
same_image dev
# This device answers only at the fast speed and refuses the first return to the normal one, so
# it is still fast when the program ends: only the closing step brings it back.
device fast --speeds 921600 --fault S:question:0:1 --new-version 2.21
run "3. flash into a pipe whose reader has gone" '$KU flash $W/p.qfw --port $W/fast | true'
same_image fast
frames fast 3
mark fast
"$KU" detect --port "$W/fast" >/dev/null 2>&1
echo "  [afterwards, the first frame of a detect:]"
frames fast 9 | sed -n 2p

# 4. Packages that cannot be read.
mkfifo "$W/fifo.qfw"
cp "$W/p.qfw" "$W/secret.qfw"
chmod 000 "$W/secret.qfw"
mkdir "$W/empty"
mark dev
run "4. a missing package" '$KU flash $W/missing.qfw --port $W/dev'
run "4. a directory" '$KU flash $W --port $W/dev'
run "4. a FIFO (time limit 10 s)" 'timeout 10 $KU flash $W/fifo.qfw --port $W/dev'
run "4. no permission (run as nobody)" \
  'setpriv --reuid=nobody --regid=nogroup --clear-groups $KU flash $W/secret.qfw --port $W/dev'
run "4. a missing package and no device" 'KV_DEV_DIR=$W/empty $KU flash $W/missing.qfw'
frames dev 2

# 5. The smaller ones.
python3 -c 'import os, pty, sys, time
m, s = pty.openpty()
print(os.ttyname(s), flush=True)
time.sleep(600)' >"$W/pty.out" &
holders+=($!)
for _ in $(seq 100); do [ -s "$W/pty.out" ] && break; sleep 0.05; done
export PTS
PTS=$(head -1 "$W/pty.out")
echo
echo "PTS=$PTS (a pseudo-terminal that is not a device)"
echo "  [before: $(stty -F "$PTS" speed) bit/s, $(stty -F "$PTS" -a | grep -o -- '-\?icanon' | head -1)]"
run "5. detect on a terminal that is not a device" '$KU detect --port $PTS'
echo "  [after:  $(stty -F "$PTS" speed) bit/s, $(stty -F "$PTS" -a | grep -o -- '-\?icanon' | head -1)]"

device locked
export LOCKED=${slave_of[locked]}
echo
echo "LOCKED=$LOCKED: $(stat -c '%A owner %U group %G' "$LOCKED")"
run "5. permission advice (run as nobody)" \
  'setpriv --reuid=nobody --regid=nogroup --clear-groups $KU detect --port $LOCKED'
chmod 660 "$LOCKED"
echo "  [now $(stat -c '%A owner %U group %G' "$LOCKED")]"
run "5. permission advice (run as nobody)" \
  'setpriv --reuid=nobody --regid=nogroup --clear-groups $KU detect --port $LOCKED'

device slow --new-version 2.21 --answer-delay-after-upload 80
export SLOW_FRAMES=$W/slow.frames
run "5. SIGINT while the device is identified again after the upload" \
  'set -m  # a background job of a script would ignore SIGINT
   $KU flash $W/p.qfw --port $W/slow & pid=$!
   for i in $(seq 1000); do
     awk "/ 4: 66 /{u=1} u && / 2: 56 56\$/{f=1} END{exit !f}" $SLOW_FRAMES && break; sleep 0.01
   done
   kill -INT $pid; wait $pid'
frames slow 3

run "5. --port --json" '$KU detect --port --json'

# Issue 14: the version the device reports afterwards.
device keeps --new-version 2.20
device takes --new-version 2.21
run "14. a device that keeps its version (package 2.21.A)" '$KU flash $W/p.qfw --port $W/keeps'
run "14. a device that takes it" '$KU flash $W/p.qfw --port $W/takes'

# 6. The record, the streams and the signals of a run.
device paced --pacing --new-version 2.21
"$TOOLS/qfwpack" --out "$W/big.qfw" --body-size 16384 >/dev/null
head -c 900 /dev/zero | tr '\0' x >"$W/full.jsonl"
run "6. the record past the file-size limit (1 KiB, 900 bytes in it)" \
  '(ulimit -f 1; exec $KU flash $W/p.qfw --port $W/dev --record $W/full.jsonl)'
echo "  [record: $(stat -c %s "$W/full.jsonl") bytes]"
run "6. Ctrl+\\ during the upload" \
  'set -m  # a background job of a script would ignore SIGQUIT
   $KU flash $W/big.qfw --port $W/paced & pid=$!; sleep 1; kill -QUIT $pid; wait $pid'
echo '{"kept": true}' >"$W/r.jsonl"
run "6. --trace=F --record F" '$KU flash $W/p.qfw --port $W/dev --trace=$W/r.jsonl --record $W/r.jsonl'
echo "  [record: $(head -c 40 "$W/r.jsonl")]"
mkfifo "$W/record.fifo"
run "6. the record a FIFO nobody reads (time limit 10 s)" \
  'timeout 10 $KU flash $W/p.qfw --port $W/dev --record $W/record.fifo'
printf '{"cut": ' >"$W/cut.jsonl"
run "6. a record whose last line has no end" '$KU flash $W/p.qfw --port $W/missing --record $W/cut.jsonl'
echo "  [record lines: $(wc -l <"$W/cut.jsonl"); the last parses: $(tail -1 "$W/cut.jsonl" | python3 -c 'import json, sys; json.load(sys.stdin); print("yes")' 2>/dev/null || echo no)]"
mark dev
run "6. one device, standard error closed" '$KU flash $W/p.qfw --port $W/dev 2>&-'
frames dev 2
run "6. two devices and a record, standard output closed" \
  '$KU flash $W/p.qfw --port $W/dev --port $W/paced --record $W/closed.jsonl >&-'
echo "  [record lines that are not JSON: $(python3 -c 'import json, sys
print(sum(1 for l in open(sys.argv[1], "rb") if not l.startswith(b"{")))' "$W/closed.jsonl")]"
run "6. a port name holding an escape sequence and a line end" \
  '$KU flash $W/p.qfw --port "$W/odd"$'"'"'\e[7m\n'"'"'"$W/dev: Update Successful" --port $W/dev | cat -v'

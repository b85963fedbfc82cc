#!/bin/sh
# Makes the default scenario of hxaec-host (host/scenario/), 14.5 s:
#   far_end.wav   48 kHz mono 16-bit: a remote talker (en-gb) from 0.3 to
#                 4 s and 12 to 14 s alone (his echo is all the microphone
#                 hears) and from 8.3 to 10.5 s over the local talker
#                 (double talk); the host expands it to stereo.
#   near_end.wav  16 kHz mono 16-bit: a local talker (en-us) from 5 to 8 s
#                 alone and from 8.5 to 10 s over the remote one, over
#                 steady background noise (pink noise, a faint 100 Hz hum).
# The simulated voice path adds the echo of the far end to the near end
# (hxaec-host's echo path, on by default: a room of RT60 0.3 s, with room
# noise at -50 dBFS). Needs espeak-ng and sox (Debian
# packages of the same names). The output is committed; re-run only to
# change the scenario.
set -eu
dir=${1:-"$(dirname "$0")/../host/scenario"}
mkdir -p "$dir"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
len=14.5

say() { # voice speed rate text out
  espeak-ng -v "$1" -s "$2" -w "$tmp/raw.wav" "$4"
  sox "$tmp/raw.wav" -r "$3" -c 1 -b 16 -e signed-integer "$5" gain -n -6
}

# Places each "file:start" on a silent timeline of $len seconds at `rate`.
timeline() { # rate out file:start...
  rate=$1 out=$2
  shift 2
  sox -n -r "$rate" -c 1 -b 16 "$tmp/base.wav" trim 0 "$len"
  set -- "$@"
  inputs="-v 1 $tmp/base.wav"
  for item in "$@"; do
    f=${item%%:*} at=${item##*:}
    sox "$f" "$f.pad.wav" pad "$at" 0
    inputs="$inputs -v 1 $f.pad.wav"
  done
  # shellcheck disable=SC2086
  sox -m $inputs "$out" trim 0 "$len"
}

# Near end: speech on the timeline, then noise mixed under it.
say en-us 155 16000 "Hello, can you hear me? The projector is ready." "$tmp/n1.wav"
say en-us 155 16000 "Please share your slides." "$tmp/n2.wav"
timeline 16000 "$tmp/speech.wav" "$tmp/n1.wav:5.0" "$tmp/n2.wav:8.5"
sox -n -r 16000 -c 1 -b 16 "$tmp/pink.wav" synth "$len" pinknoise vol 0.03
sox -n -r 16000 -c 1 -b 16 "$tmp/hum.wav" synth "$len" sine 100 vol 0.004
sox -m -v 1 "$tmp/speech.wav" -v 1 "$tmp/pink.wav" -v 1 "$tmp/hum.wav" \
  -r 16000 -c 1 -b 16 -e signed-integer "$dir/near_end.wav" trim 0 "$len"

# Far end: a different voice, 48 kHz mono.
say en-gb 165 48000 "Good morning everyone. Can you all see my screen now?" "$tmp/f1.wav"
say en-gb 165 48000 "The quarterly numbers are on the second slide." "$tmp/f2.wav"
say en-gb 165 48000 "Let me know when you are ready." "$tmp/f3.wav"
timeline 48000 "$dir/far_end.wav" "$tmp/f1.wav:0.3" "$tmp/f2.wav:8.3" "$tmp/f3.wav:12.0"

sox --i "$dir/near_end.wav"
sox --i "$dir/far_end.wav"

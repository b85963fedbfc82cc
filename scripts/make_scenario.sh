#!/bin/sh
# Makes the default scenario of hxaec-host (host/scenario/):
#   near_end.wav  16 kHz mono 16-bit, 8 s: two sentences of a local talker
#                 (about 0.8-2.3 s and 4.2-7 s) over steady background
#                 noise (pink noise and a faint 100 Hz hum).
#   far_end.wav   48 kHz mono 16-bit, 5 s: a remote talker; the host expands
#                 it to stereo when it loads it.
# Needs espeak-ng and sox (Debian packages of the same names). The output is
# committed; re-run only to change the scenario.
set -eu
dir=${1:-"$(dirname "$0")/../host/scenario"}
mkdir -p "$dir"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

say() { # voice speed text out
  espeak-ng -v "$1" -s "$2" -w "$tmp/raw.wav" "$3"
  sox "$tmp/raw.wav" -r 16000 -c 1 -b 16 -e signed-integer "$4" gain -n -6
}

# Near end: speech placed on an 8 s timeline, then noise mixed under it.
say en-us 155 "Hello, can you hear me?" "$tmp/n1.wav"
say en-us 155 "The projector is ready. Please share your slides." "$tmp/n2.wav"
sox "$tmp/n1.wav" "$tmp/n1p.wav" pad 0.8 0
sox "$tmp/n2.wav" "$tmp/n2p.wav" pad 4.2 0
sox -n -r 16000 -c 1 -b 16 "$tmp/base.wav" trim 0 8
sox -m -v 1 "$tmp/base.wav" -v 1 "$tmp/n1p.wav" -v 1 "$tmp/n2p.wav" "$tmp/speech.wav"
sox -n -r 16000 -c 1 -b 16 "$tmp/pink.wav" synth 8 pinknoise vol 0.03
sox -n -r 16000 -c 1 -b 16 "$tmp/hum.wav" synth 8 sine 100 vol 0.004
sox -m -v 1 "$tmp/speech.wav" -v 1 "$tmp/pink.wav" -v 1 "$tmp/hum.wav" \
  -r 16000 -c 1 -b 16 -e signed-integer "$dir/near_end.wav" trim 0 8

# Far end: a different voice, 48 kHz mono.
espeak-ng -v en-gb -s 165 -w "$tmp/f.wav" \
  "Yes, I hear you well. Go ahead with the slides."
sox "$tmp/f.wav" -r 48000 -c 1 -b 16 -e signed-integer "$dir/far_end.wav" \
  gain -n -6 pad 0.3 0
sox -n -r 48000 -c 1 -b 16 "$tmp/fbase.wav" trim 0 5
sox -m -v 1 "$tmp/fbase.wav" -v 1 "$dir/far_end.wav" "$tmp/fmix.wav" trim 0 5
mv "$tmp/fmix.wav" "$dir/far_end.wav"

sox --i "$dir/near_end.wav"
sox --i "$dir/far_end.wav"

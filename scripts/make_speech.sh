#!/bin/sh
# Makes the speech sample used by the microphone-chain quality test and tool:
# a few English sentences with pauses, 16 kHz mono 16-bit WAV, with half a
# second of silence in front (time for the noise estimate to settle) and
# behind. Needs espeak-ng and sox (Debian packages of the same names).
set -eu
out=${1:-"$(dirname "$0")/../tests/data/speech16k.wav"}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
espeak-ng -v en-us -s 150 -w "$tmp/raw.wav" \
  "The quick brown fox jumps over the lazy dog. \
Please call Stella. Six spoons of fresh snow peas."
# Normalise to -3 dBFS peak so the test's signal-to-noise ratio is set by the
# added noise alone.
sox "$tmp/raw.wav" -r 16000 -c 1 -b 16 -e signed-integer "$out" \
  gain -n -3 pad 0.5 0.5
sox --i "$out"

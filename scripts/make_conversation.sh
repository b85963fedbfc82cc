#!/bin/sh
# Makes the two talkers of the measured conversation (bench/voice_quality,
# the real-path voice test), 16 kHz mono 16-bit, 22 s each, speech where the
# conversation has it and digital silence elsewhere:
#   tests/data/far_talker16k.wav   en-gb, 4-9 s and 13-22 s (far end)
#   tests/data/near_talker16k.wav  en-us, 9-18 s (near end)
# Room noise is added by the programs. Needs espeak-ng and sox (Debian
# packages of the same names). The output is committed; re-run only to
# change the conversation.
set -eu
dir=${1:-"$(dirname "$0")/../tests/data"}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# One talker's stretch: the text spoken, cut (with a short fade) or padded
# to `len` seconds, placed at `at` seconds of a 22 s timeline.
stretch() { # voice speed text at len out
  espeak-ng -v "$1" -s "$2" -w "$tmp/raw.wav" "$3"
  sox -D "$tmp/raw.wav" -r 16000 -c 1 -b 16 -e signed-integer "$6" gain -n -6 \
    trim 0 "$5" fade 0 "$5" 0.05 pad "$4" 22 trim 0 22
}

stretch en-gb 170 "Good morning everyone, can you all see my screen now? \
The quarterly numbers are on the second slide." 4 5 "$tmp/f1.wav"
stretch en-gb 170 "As you can see, sales grew in every region this quarter, \
and the new office opened on time. Let me know when you have questions, \
and we will go through the budget together after lunch." 13 9 "$tmp/f2.wav"
sox -D -m -v 1 "$tmp/f1.wav" -v 1 "$tmp/f2.wav" "$dir/far_talker16k.wav"

stretch en-us 160 "Hello, yes, I can see it clearly. Could you please go back \
to the first chart for a moment? I think the numbers for March are missing \
and the legend is hard to read." 9 9 "$dir/near_talker16k.wav"

sox --i "$dir/far_talker16k.wav"
sox --i "$dir/near_talker16k.wav"

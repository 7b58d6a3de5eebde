#!/usr/bin/env bash
# Writes speech.raw (espeak-ng, with pauses) and noisy.raw (the same speech
# plus white noise at 5 dB SNR over the spoken parts) to the folder given, both
# 48 kHz mono signed 16-bit little-endian. Needs espeak-ng and sox.
set -euo pipefail
out=$1
cd "$out"

phrases=(
    "The quick brown fox jumps over the lazy dog."
    "Noise suppression keeps the voice and removes the hiss."
    "Please check the camera settings before the meeting starts."
    "Seven bright lamps light the small studio."
)
parts=()
for i in "${!phrases[@]}"; do
    espeak-ng -v en -s 150 -w "phrase$i.wav" "${phrases[$i]}"
    sox "phrase$i.wav" -r 48000 -c 1 -b 16 "part$i.wav" vol 0.5 pad 0.8 0
    parts+=("part$i.wav")
done
sox "${parts[@]}" -b 16 speech.wav pad 0 0.8

# Level of the spoken parts alone (pauses cut out), and of unit white noise.
rms() { sox "$1" -n stat 2>&1 | awk '/^RMS +amplitude/ {print $3}'; }
sox speech.wav active.wav silence 1 0.02 0.5% -1 0.02 0.5%
duration=$(soxi -D speech.wav)
sox -n -r 48000 -c 1 -b 16 noise.wav synth "$duration" whitenoise vol 0.5
gain=$(awk -v s="$(rms active.wav)" -v n="$(rms noise.wav)" 'BEGIN { print s / 10 ^ (5 / 20) / n }')

# -D: no dither, so noisy = speech + noise sample for sample.
sox -D -m -v 1 speech.wav -v "$gain" noise.wav -b 16 noisy.wav
sox -D speech.wav -t raw -e signed -b 16 -L speech.raw
sox -D noisy.wav -t raw -e signed -b 16 -L noisy.raw
echo "speech $(rms active.wav) noise $(awk -v g="$gain" -v n="$(rms noise.wav)" 'BEGIN { print g * n }')"

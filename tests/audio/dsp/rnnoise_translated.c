/* rnnoise_translated <in.raw> <out>: denoises 48 kHz mono Int16 audio frame by
 * frame with the plain translation of RNNoise, the one without native kernels.
 * For each whole frame it writes the 480 output floats, then the frame's voice
 * probability, so a test can hold the library's results against these bits. */
#include "audio/dsp/rnnoise/rnnoise.h"

#include <stdint.h>
#include <stdio.h>

enum { FrameSamples = 480 };

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s <in.raw> <out>\n", argv[0]);
        return 2;
    }
    FILE *in = fopen(argv[1], "rb");
    FILE *out = fopen(argv[2], "wb");
    DenoiseState *st = rnnoise_create(NULL);
    if (!in || !out || !st) {
        fprintf(stderr, "%s: cannot open the files or create the state\n", argv[0]);
        return 1;
    }
    int16_t samples[FrameSamples];
    float frame[FrameSamples];
    while (fread(samples, sizeof samples, 1, in) == 1) {
        for (int i = 0; i < FrameSamples; ++i)
            frame[i] = samples[i];
        const float vad = rnnoise_process_frame(st, frame, frame);
        if (fwrite(frame, sizeof frame, 1, out) != 1 || fwrite(&vad, sizeof vad, 1, out) != 1)
            return 1;
    }
    rnnoise_destroy(st);
    return fclose(out) == 0 ? 0 : 1;
}

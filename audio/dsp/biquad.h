#pragma once

/// Second-order IIR filter (direct form I) on one stream of float samples.
/// The caller owns the state; nothing is allocated and nothing is locked.
struct BiquadState
{
    float b0, b1, b2, a1, a2;   // coefficients, normalised so that a0 = 1
    float x1, x2;               // previous two inputs
    float y1, y2;               // previous two outputs
};

/// Filters `size` samples; `input` and `output` may be the same array. The
/// history stays in the state, so consecutive calls form one stream.
void biquadProcess(BiquadState *state, int size, const float *input, float *output);

/// Shelves of the Audio EQ Cookbook with shelf slope `slope`; both clear the
/// history. A corner at or beyond Nyquist makes the low shelf a plain gain and
/// the high shelf a pass-through (and the other way round at or below 0 Hz).
void biquadLowShelf(BiquadState *state, int rate, float freq, float slope, float gain);
void biquadHighShelf(BiquadState *state, int rate, float freq, float slope, float gain);

#include "audio/dsp/biquad.h"

#include <algorithm>
#include <cmath>
#include <numbers>

void biquadProcess(BiquadState *state, int size, const float *input, float *output)
{
    const float b0 = state->b0, b1 = state->b1, b2 = state->b2;
    const float a1 = state->a1, a2 = state->a2;
    float x1 = state->x1, x2 = state->x2, y1 = state->y1, y2 = state->y2;
    for (int i = 0; i < size; ++i) {
        const float x = input[i];
        const float y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        output[i] = y;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
    }
    state->x1 = x1;
    state->x2 = x2;
    state->y1 = y1;
    state->y2 = y2;
}

namespace {

void setCoefficients(BiquadState *state, double b0, double b1, double b2, double a1,
                     double a2)
{
    state->b0 = float(b0);
    state->b1 = float(b1);
    state->b2 = float(b2);
    state->a1 = float(a1);
    state->a2 = float(a2);
}

enum class Shelf { Low, High };

void designShelf(Shelf shelf, BiquadState *state, int rate, float freq, float slope,
                 float gain)
{
    state->x1 = state->x2 = state->y1 = state->y2 = 0.0f;
    if (slope == 0.0f) {
        setCoefficients(state, 1, 0, 0, 0, 0);
        return;
    }
    const double f = double(freq) / (double(rate) / 2.0);
    const double A = std::pow(10.0, double(gain) / 40.0);
    // The corner outside 0..Nyquist: the whole band is either shelf or pass band.
    const bool allShelf = shelf == Shelf::Low ? f >= 1.0 : f <= 0.0;
    const bool allPass = shelf == Shelf::Low ? f <= 0.0 : f >= 1.0;
    if (allPass || std::isnan(f)) {
        setCoefficients(state, 1, 0, 0, 0, 0);
        return;
    }
    if (allShelf) {
        setCoefficients(state, A * A, 0, 0, 0, 0);
        return;
    }
    const double w0 = 2.0 * std::numbers::pi * double(freq) / double(rate);
    const double alpha =
        std::sin(w0) / 2.0 * std::sqrt(std::max(0.0, (A + 1.0 / A) * (1.0 / double(slope) - 1.0) + 2.0));
    const double c = std::cos(w0);
    const double q = 2.0 * std::sqrt(A) * alpha;
    if (shelf == Shelf::Low) {
        const double a0 = (A + 1) + (A - 1) * c + q;
        setCoefficients(state, A * ((A + 1) - (A - 1) * c + q) / a0,
                        2 * A * ((A - 1) - (A + 1) * c) / a0,
                        A * ((A + 1) - (A - 1) * c - q) / a0,
                        -2 * ((A - 1) + (A + 1) * c) / a0,
                        ((A + 1) + (A - 1) * c - q) / a0);
    } else {
        const double a0 = (A + 1) - (A - 1) * c + q;
        setCoefficients(state, A * ((A + 1) + (A - 1) * c + q) / a0,
                        -2 * A * ((A - 1) + (A + 1) * c) / a0,
                        A * ((A + 1) + (A - 1) * c - q) / a0,
                        2 * ((A - 1) - (A + 1) * c) / a0,
                        ((A + 1) - (A - 1) * c - q) / a0);
    }
}

} // namespace

void biquadLowShelf(BiquadState *state, int rate, float freq, float slope, float gain)
{
    designShelf(Shelf::Low, state, rate, freq, slope, gain);
}

void biquadHighShelf(BiquadState *state, int rate, float freq, float slope, float gain)
{
    designShelf(Shelf::High, state, rate, freq, slope, gain);
}

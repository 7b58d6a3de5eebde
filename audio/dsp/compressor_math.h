#pragma once

// Internal to the compressor: its curve in float approximations shared by the
// set-up in compressor.cpp and the per-sample passes in compressor_kernels*.
// Everything has internal linkage, so the copy built with AVX2 can never be
// the one the baseline callers get.

#include "audio/dsp/compressor.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <numbers>

namespace {

constexpr float halfPi = std::numbers::pi_v<float> / 2.0f;
constexpr float infinity = std::numeric_limits<float>::infinity();

// The per-sample curve functions: float approximations within a few float
// steps of libm's, written without calls or branches so that a whole update
// block runs in vector lanes. NaN comes out where libm gives NaN.

// log2(x): ±inf at inf and 0, NaN below 0.
inline float fastLog2(float x)
{
    const bool subnormal = x < std::numeric_limits<float>::min();
    const float scaled = subnormal ? x * 8388608.0f : x;   // 2^23
    const auto bits = std::bit_cast<uint32_t>(scaled);
    float e = float(int(bits >> 23) - (subnormal ? 150 : 127));
    float m = std::bit_cast<float>((bits & 0x007fffffu) | 0x3f800000u);   // [1, 2)
    const bool high = m > std::numbers::sqrt2_v<float>;
    m = high ? m * 0.5f : m;
    e = high ? e + 1.0f : e;
    // log2(m) = 2/ln2 · atanh(t), t = (m - 1)/(m + 1) within ±0.172
    const float t = (m - 1.0f) / (m + 1.0f);
    const float t2 = t * t;
    const float series = t * (1.0f + t2 * (1.0f / 3 + t2 * (1.0f / 5 + t2 * (1.0f / 7 + t2 / 9))));
    const float result = e + series * (2.0f / std::numbers::ln2_v<float>);
    const float edge = x == 0.0f ? -infinity : (x == infinity ? infinity : result);
    return x >= 0.0f ? edge : std::numeric_limits<float>::quiet_NaN();
}

// 2^x: 0 below -126 (libm's subnormals are below any level used here), inf from 128.
inline float fastExp2(float x)
{
    const float c = std::max(-126.0f, std::min(x, 127.0f));
    const int k = int(c + 128.5f) - 128;   // nearest, from a positive value
    const float f = (c - float(k)) * std::numbers::ln2_v<float>;   // within ±ln2/2
    const float p = 1.0f + f * (1.0f + f * (1.0f / 2 + f * (1.0f / 6 + f * (1.0f / 24
                    + f * (1.0f / 120 + f * (1.0f / 720 + f / 5040))))));
    const float result = p * std::bit_cast<float>(uint32_t(k + 127) << 23);
    const float edge = x < -126.0f ? 0.0f : (x >= 128.0f ? infinity : result);
    return x == x ? edge : x;
}

// sin(x) for |x| <= π/2 (the Taylor terms to x^11), all the sine shaping of
// the gain ever needs.
inline float fastSin(float x)
{
    const float x2 = x * x;
    return x * (1.0f - x2 * (1.0f / 6 - x2 * (1.0f / 120 - x2 * (1.0f / 5040
                - x2 * (1.0f / 362880 - x2 / 39916800)))));
}

// 10^(dB/20) = 2^(dB · log2(10)/20), and back.
constexpr float log2TenOver20 = std::numbers::ln10_v<float> / std::numbers::ln2_v<float> / 20.0f;
inline float db2lin(float db) { return fastExp2(db * log2TenOver20); }
inline float lin2db(float lin) { return fastLog2(lin) / log2TenOver20; }

inline float kneeCurve(float x, float k, float thresholdLin)
{
    const float e = fastExp2(-k * (x - thresholdLin) * std::numbers::log2e_v<float>);
    return thresholdLin + (1.0f - e) / k;
}

// Static input-to-output curve: linear below the threshold, the exponential
// knee up to its top, then a straight line of slope 1/ratio in dB. `dB` is
// the input's level. All three are worked out and one is picked, so a block of
// samples runs in vector lanes.
inline float compCurve(const CompressorState &s, float x, float dB)
{
    const float knee = kneeCurve(x, s.knee_k, s.threshold_lin);
    const bool hasKnee = s.knee_db > 0.0f;
    const float lineDb = hasKnee ? s.knee_db_offset + s.slope * (dB - s.threshold_db - s.knee_db)
                                 : s.threshold_db + s.slope * (dB - s.threshold_db);
    const float line = db2lin(lineDb);
    const float above = hasKnee & (x < s.knee_top_lin) ? knee : line;
    return x < s.threshold_lin ? x : above;
}

} // namespace

#include "audio/dsp/compressor.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

namespace {

constexpr int updateBlock = 32;   // samples per envelope update
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
inline float fix(float v, float fallback) { return std::isfinite(v) ? v : fallback; }

float kneeSlope(float x, float k, float thresholdLin)
{
    return k * x / ((k * thresholdLin + 1.0f) * std::exp(k * (x - thresholdLin)) - 1.0f);
}

inline float kneeCurve(float x, float k, float thresholdLin)
{
    const float e = fastExp2(-k * (x - thresholdLin) * std::numbers::log2e_v<float>);
    return thresholdLin + (1.0f - e) / k;
}

// Static input-to-output curve: linear below the threshold, the exponential
// knee up to its top, then a straight line of slope 1/ratio in dB. `dB` is
// the input's level. All three are worked out and one is picked, so a block of
// samples runs in vector lanes.
inline float compCurve(const sf_compressor_state_st &s, float x, float dB)
{
    const float knee = kneeCurve(x, s.knee_k, s.threshold_lin);
    const bool hasKnee = s.knee_db > 0.0f;
    const float lineDb = hasKnee ? s.knee_db_offset + s.slope * (dB - s.threshold_db - s.knee_db)
                                 : s.threshold_db + s.slope * (dB - s.threshold_db);
    const float line = db2lin(lineDb);
    const float above = hasKnee & (x < s.knee_top_lin) ? knee : line;
    return x < s.threshold_lin ? x : above;
}

inline float compCurve(const sf_compressor_state_st &s, float x)
{
    return compCurve(s, x, lin2db(x));
}

} // namespace

void sf_advancecomp(sf_compressor_state_st *state, int rate, float pregain, float threshold,
                    float knee, float ratio, float attack, float release, float predelay,
                    float releasezone1, float releasezone2, float releasezone3,
                    float releasezone4, float postgain, float wet)
{
    sf_compressor_state_st &s = *state;
    s.delay_size = std::clamp(int(float(rate) * predelay), 1, 1024);
    std::memset(s.delay_buf, 0, sizeof(float) * size_t(s.delay_size));

    s.threshold_db = threshold;
    s.knee_db = knee;
    s.wet = wet;
    s.pregain_lin = db2lin(pregain);
    s.threshold_lin = db2lin(threshold);
    s.slope = 1.0f / ratio;
    s.attack_inv = 1.0f / (float(rate) * attack);
    s.sat_release_inv = 1.0f / (float(rate) * 0.0025f);
    s.dry = 1.0f - wet;
    s.meter_release = 1.0f - std::exp(-1.0f / (float(rate) * 0.325f));

    float k = 5.0f;
    if (knee > 0.0f) {
        // The knee constant whose slope at the knee's top equals 1/ratio, so
        // the knee joins the straight part without a corner.
        const float xknee = db2lin(threshold + knee);
        float mink = 0.1f, maxk = 10000.0f;
        for (int i = 0; i < 15; ++i) {
            if (kneeSlope(xknee, k, s.threshold_lin) < s.slope)
                maxk = k;
            else
                mink = k;
            k = std::sqrt(mink * maxk);
        }
        s.knee_db_offset = lin2db(kneeCurve(xknee, k, s.threshold_lin));
        s.knee_top_lin = xknee;
    } else {
        s.knee_db_offset = 0.0f;
        s.knee_top_lin = 0.0f;
    }
    s.knee_k = k;

    // Make-up: bring full scale most of the way back to where it started.
    s.master_gain = db2lin(postgain) * std::pow(1.0f / compCurve(s, 1.0f), 0.6f);

    const float samples = float(rate) * release;
    const float r1 = samples * releasezone1, r2 = samples * releasezone2;
    const float r3 = samples * releasezone3, r4 = samples * releasezone4;
    s.rel_a = (-r1 + 3.0f * r2 - 3.0f * r3 + r4) / 6.0f;
    s.rel_b = r1 - 2.5f * r2 + 2.0f * r3 - 0.5f * r4;
    s.rel_c = (-11.0f * r1 + 18.0f * r2 - 9.0f * r3 + 2.0f * r4) / 6.0f;
    s.rel_d = r1;

    s.meter_gain = 1.0f;
    s.detector_avg = 0.0f;
    s.comp_gain = 1.0f;
    s.max_comp_diff_db = -1.0f;
    s.delay_write = 0;
    s.delay_read = s.delay_size > 1 ? 1 : 0;
}

namespace {

constexpr int passLength = 8 * updateBlock;   // samples per run of the passes below

// The passes that depend on nothing but their input run over several update
// blocks at once, in vector lanes, each free of any chain from one sample to
// the next; they are also built for AVX2 and FMA and picked when the process
// starts.

// Per sample: the curve's attenuation, and the detector's rise rate should it
// rise toward it.
[[gnu::target_clones("arch=x86-64-v3", "default")]]
void attenuationPass(const sf_compressor_state_st &s, const float *in, int count,
                     float *attenuation, float *riseRate)
{
    float level[passLength], levelDb[passLength];
    for (int i = 0; i < count; ++i) {
        level[i] = std::fabs(in[i] * s.pregain_lin);
        levelDb[i] = lin2db(level[i]);
    }
    for (int i = 0; i < count; ++i) {
        const float curve = compCurve(s, level[i], levelDb[i]);
        attenuation[i] = level[i] < 0.0001f ? 1.0f : curve / level[i];
    }
    for (int i = 0; i < count; ++i)
        riseRate[i] = std::max(-lin2db(attenuation[i]), 2.0f);
    for (int i = 0; i < count; ++i)
        riseRate[i] = db2lin(riseRate[i] * s.sat_release_inv) - 1.0f;
}

// Per sample: the sine-shaped gain in place of the raw one, and its level in dB.
[[gnu::target_clones("arch=x86-64-v3", "default")]]
void gainShapePass(const sf_compressor_state_st &s, float *gains, float *premixDb, int count)
{
    for (int i = 0; i < count; ++i) {
        // The gain never leaves -1..1: the detector stays within it, and the
        // gain moves toward it or up to 1.
        premixDb[i] = fastSin(halfPi * gains[i]);
        gains[i] = s.dry + s.wet * s.master_gain * premixDb[i];
    }
    for (int i = 0; i < count; ++i)
        premixDb[i] = lin2db(premixDb[i]);
}

} // namespace

void sf_compressor_process(sf_compressor_state_st *state, int size, const float *input,
                           float *output)
{
    sf_compressor_state_st &s = *state;
    float detectorAvg = s.detector_avg;
    float compGain = s.comp_gain;
    float maxCompDiffDb = s.max_comp_diff_db;
    float meterGain = s.meter_gain;
    int write = s.delay_write;
    int read = s.delay_read;
    const int delaySize = s.delay_size;
    // A state that was never set up has no delay line to run.
    if (delaySize < 1 || delaySize > 1024 || write < 0 || write >= delaySize || read < 0
        || read >= delaySize)
        return;
    const int whole = size / updateBlock * updateBlock;

    for (int at = 0; at < whole; at += passLength) {
        const int count = std::min(passLength, whole - at);
        const float *in = input + at;
        float *out = output + at;
        float attenuation[passLength], riseRate[passLength], gains[passLength];
        attenuationPass(s, in, count, attenuation, riseRate);

        // The detector and the gain, sample by sample, with the envelope set
        // once per update block.
        for (int b = 0; b < count; b += updateBlock) {
            detectorAvg = fix(detectorAvg, 1.0f);
            const float desired = std::asin(detectorAvg) / halfPi;
            float diff = lin2db(compGain / desired);
            float envelope;
            if (diff < 0.0f) {
                // Release: the further the gain is below where it wants to be,
                // the longer the release, along the cubic through the zones.
                diff = fix(diff, -1.0f);
                maxCompDiffDb = -1.0f;
                const float x = (std::max(diff, -12.0f) + 12.0f) * 0.25f;
                const float releaseSamples = ((s.rel_a * x + s.rel_b) * x + s.rel_c) * x + s.rel_d;
                envelope = db2lin(5.0f / releaseSamples);
            } else {
                diff = fix(diff, 1.0f);
                if (maxCompDiffDb == -1.0f || maxCompDiffDb < diff)
                    maxCompDiffDb = diff;
                envelope = 1.0f - std::pow(0.25f / std::max(maxCompDiffDb, 0.5f), s.attack_inv);
            }

            for (int i = b; i < b + updateBlock; ++i) {
                const float rate = attenuation[i] > detectorAvg ? riseRate[i] : 1.0f;
                detectorAvg += (attenuation[i] - detectorAvg) * rate;
                detectorAvg = std::min(detectorAvg, 1.0f);
                detectorAvg = fix(detectorAvg, 1.0f);

                if (envelope < 1.0f)
                    compGain += (desired - compGain) * envelope;
                else
                    compGain = std::min(compGain * envelope, 1.0f);
                gains[i] = compGain;
            }
        }

        float premixDb[passLength];
        gainShapePass(s, gains, premixDb, count);

        // The meter and the look-ahead delay line.
        for (int i = 0; i < count; ++i) {
            if (premixDb[i] < meterGain)
                meterGain = premixDb[i];
            else
                meterGain += (premixDb[i] - meterGain) * s.meter_release;

            s.delay_buf[write] = in[i] * s.pregain_lin;
            out[i] = s.delay_buf[read] * gains[i];
            if (++write == delaySize)
                write = 0;
            if (++read == delaySize)
                read = 0;
        }
    }

    s.meter_gain = meterGain;
    s.detector_avg = detectorAvg;
    s.comp_gain = compGain;
    s.max_comp_diff_db = maxCompDiffDb;
    s.delay_write = write;
    s.delay_read = read;
}

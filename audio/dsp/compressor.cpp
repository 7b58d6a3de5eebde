#include "audio/dsp/compressor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace {

constexpr int updateBlock = 32;   // samples per envelope update
constexpr float halfPi = std::numbers::pi_v<float> / 2.0f;

inline float db2lin(float db) { return std::pow(10.0f, 0.05f * db); }
inline float lin2db(float lin) { return 20.0f * std::log10(lin); }
inline float fix(float v, float fallback) { return std::isfinite(v) ? v : fallback; }

float kneeSlope(float x, float k, float thresholdLin)
{
    return k * x / ((k * thresholdLin + 1.0f) * std::exp(k * (x - thresholdLin)) - 1.0f);
}

float kneeCurve(float x, float k, float thresholdLin)
{
    return thresholdLin + (1.0f - std::exp(-k * (x - thresholdLin))) / k;
}

// Static input-to-output curve: linear below the threshold, the exponential
// knee up to its top, then a straight line of slope 1/ratio in dB.
float compCurve(const sf_compressor_state_st &s, float x)
{
    if (x < s.threshold_lin)
        return x;
    if (s.knee_db <= 0.0f)
        return db2lin(s.threshold_db + s.slope * (lin2db(x) - s.threshold_db));
    if (x < s.knee_top_lin)
        return kneeCurve(x, s.knee_k, s.threshold_lin);
    return db2lin(s.knee_db_offset + s.slope * (lin2db(x) - s.threshold_db - s.knee_db));
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
    const int blocks = size / updateBlock;

    for (int b = 0; b < blocks; ++b) {
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

        const float *in = input + b * updateBlock;
        float *out = output + b * updateBlock;
        for (int i = 0; i < updateBlock; ++i) {
            const float v = in[i] * s.pregain_lin;
            s.delay_buf[write] = v;
            const float m = std::fabs(v);
            const float attenuation = m < 0.0001f ? 1.0f : compCurve(s, m) / m;

            float rate = 1.0f;
            if (attenuation > detectorAvg)
                rate = db2lin(std::max(-lin2db(attenuation), 2.0f) * s.sat_release_inv) - 1.0f;
            detectorAvg += (attenuation - detectorAvg) * rate;
            detectorAvg = std::min(detectorAvg, 1.0f);
            detectorAvg = fix(detectorAvg, 1.0f);

            if (envelope < 1.0f)
                compGain += (desired - compGain) * envelope;
            else
                compGain = std::min(compGain * envelope, 1.0f);

            const float premix = std::sin(halfPi * compGain);
            const float gain = s.dry + s.wet * s.master_gain * premix;

            const float premixDb = lin2db(premix);
            if (premixDb < meterGain)
                meterGain = premixDb;
            else
                meterGain += (premixDb - meterGain) * s.meter_release;

            out[i] = s.delay_buf[read] * gain;
            write = (write + 1) % delaySize;
            read = (read + 1) % delaySize;
        }
    }

    s.meter_gain = meterGain;
    s.detector_avg = detectorAvg;
    s.comp_gain = compGain;
    s.max_comp_diff_db = maxCompDiffDb;
    s.delay_write = write;
    s.delay_read = read;
}

#include "audio/dsp/compressor.h"

#include "audio/dsp/compressor_kernels.h"
#include "audio/dsp/compressor_math.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr int updateBlock = 32;   // samples per envelope update
static_assert(dsp::compressorPassLength % updateBlock == 0, "passes cover whole update blocks");

inline float fix(float v, float fallback) { return std::isfinite(v) ? v : fallback; }

float kneeSlope(float x, float k, float thresholdLin)
{
    return k * x / ((k * thresholdLin + 1.0f) * std::exp(k * (x - thresholdLin)) - 1.0f);
}

} // namespace

void compressorSetup(CompressorState *state, int rate, float pregain, float threshold,
                     float knee, float ratio, float attack, float release, float predelay,
                     float releasezone1, float releasezone2, float releasezone3,
                     float releasezone4, float postgain, float wet)
{
    CompressorState &s = *state;
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

    // Make-up: bring full scale (1, at 0 dB) most of the way back to where it started.
    s.master_gain = db2lin(postgain) * std::pow(1.0f / compCurve(s, 1.0f, 0.0f), 0.6f);

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

void compressorProcess(CompressorState *state, int size, const float *input,
                       float *output)
{
    CompressorState &s = *state;
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
    const dsp::CompressorKernels &kernels = dsp::compressorKernels();

    for (int at = 0; at < whole; at += dsp::compressorPassLength) {
        const int count = std::min(dsp::compressorPassLength, whole - at);
        const float *in = input + at;
        float *out = output + at;
        float attenuation[dsp::compressorPassLength], riseRate[dsp::compressorPassLength], gains[dsp::compressorPassLength];
        kernels.attenuation(s, in, count, attenuation, riseRate);

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

        float premixDb[dsp::compressorPassLength];
        kernels.gainShape(s, gains, premixDb, count);

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

#pragma once

#include <cstdint>

/// Look-ahead dynamics compressor with a soft knee, adaptive release and
/// automatic make-up gain, on one stream of float samples (full scale ±1).
/// The caller owns the state; it may be cleared with a byte fill.
struct CompressorState
{
    float meter_gain;         // gain reduction in dB, for display only
    float meter_release;      // meter fall coefficient
    float threshold_db;
    float knee_db;
    float pregain_lin;
    float threshold_lin;
    float slope;              // 1 / ratio
    float attack_inv;         // 1 / (attack × rate)
    float sat_release_inv;    // 1 / (0.0025 s × rate)
    float wet;
    float dry;
    float knee_k;
    float knee_db_offset;     // dB level at the top of the knee
    float knee_top_lin;
    float master_gain;        // linear make-up gain
    float rel_a, rel_b, rel_c, rel_d;   // adaptive release cubic
    float detector_avg;
    float comp_gain;          // 0..1, before the sine shaping
    float max_comp_diff_db;   // -1 while no attack phase is running
    int32_t delay_size;       // look-ahead in samples, 1..1024
    int32_t delay_write;
    int32_t delay_read;
    float delay_buf[1024];
};

/// Sets up a compressor. Gains and levels in dB, times in seconds, release
/// zones as fractions of the release time.
void compressorSetup(CompressorState *state, int rate, float pregain, float threshold,
                     float knee, float ratio, float attack, float release, float predelay,
                     float releasezone1, float releasezone2, float releasezone3,
                     float releasezone4, float postgain, float wet);

/// Compresses the first (size / 32) × 32 samples; the rest of `output` is not
/// written. `input` and `output` may be the same array. A state that was
/// cleared but never set up writes nothing.
void compressorProcess(CompressorState *state, int size, const float *input,
                       float *output);

// Feeds the PCM conversion random formats, lengths and payloads. Built with
// sanitizers by scripts/fuzz-audio; exits non-zero on a broken invariant.
#include "audio/audiobuffermanager.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

QAudioFormat randomFormat(std::mt19937_64 &rng)
{
    static const QAudioFormat::SampleFormat sampleFormats[] = {
        QAudioFormat::Int16, QAudioFormat::Float, QAudioFormat::Int16, QAudioFormat::Float,
        QAudioFormat::UInt8, QAudioFormat::Int32, QAudioFormat::Unknown};
    static const int rates[] = {48000, 44100, 24000, 16000, 8000, 96000, 192000, 22050};
    // Nonsense rates, rarely: a tiny source rate makes outputs of megabytes.
    static const int oddRates[] = {1, 0, -8000, 7, 400000};
    QAudioFormat f;
    f.setSampleFormat(sampleFormats[rng() % std::size(sampleFormats)]);
    const unsigned c = rng() % 10;
    f.setChannelCount(c < 4 ? 1 : c < 8 ? 2 : int(rng() % 9) - 1);
    const unsigned r = rng() % 64;
    f.setSampleRate(r < 48 ? rates[rng() % std::size(rates)]
                    : r < 62 ? int(1000 + rng() % 200000) : oddRates[rng() % std::size(oddRates)]);
    return f;
}

QByteArray randomPayload(std::mt19937_64 &rng)
{
    const unsigned pick = rng() % 8;
    const qsizetype size = pick == 0 ? qsizetype(rng() % 8) : qsizetype(rng() % 9601);
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; i += 8) {
        const uint64_t word = rng();
        std::memcpy(bytes.data() + i, &word, size_t(std::min<qsizetype>(8, size - i)));
    }
    // Trimming the front in place leaves the payload at an odd address.
    if (size > 3 && rng() % 4 == 0)
        bytes.remove(0, 1 + qsizetype(rng() % 3));
    return bytes;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const long long count = argc > 1 ? std::atoll(argv[1]) : 1'000'000;
    const unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    qInstallMessageHandler(quiet);
    std::mt19937_64 rng(seed);

    long long converted = 0;
    for (long long i = 0; i < count; ++i) {
        AudioBufferManager::AudioSample sample;
        sample.format = randomFormat(rng);
        sample.timestamp = qint64(rng() % 1000);
        sample.data = randomPayload(rng);
        const QAudioFormat target = randomFormat(rng);

        const AudioBufferManager::AudioSample first = sample.getAsFormat(target, false);
        const AudioBufferManager::AudioSample again = sample.getAsFormat(target, false);
        QByteArray raw;
        resampleAudio(sample.data, raw, sample.format, target, false);
        if (!sameAudioFormat(first.format, target) || first.data != again.data || raw != first.data
            || first.timestamp != sample.timestamp) {
            std::fprintf(stderr, "fuzz_audioconvert: inconsistent result at input %lld\n", i);
            return 1;
        }
        ++converted;
    }
    std::printf("fuzz_audioconvert: %lld inputs converted, seed %llu, no fault\n", converted, seed);
    return 0;
}

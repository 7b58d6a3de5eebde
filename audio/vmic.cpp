#include "audio/vmic.h"

#include "app/core/basesettings.h"
#include "app/core/worker.h"
#include "audio/audioinput.h"
#include "audio/audiooutput.h"
#include "audio/avfutils.h"
#include "audio/dsp/dspagcfilter.h"
#include "audio/dsp/dspbassfilter.h"
#include "audio/dsp/dspdynamicscompressorfilter.h"
#include "audio/dsp/dsprnnfilter.h"
#include "audio/dsp/dsptreblefilter.h"

#include <QDateTime>
#include <QDebug>
#include <QMediaDevices>
#include <QTimer>

namespace {

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

bool isProductMicrophone(const QString &description)
{
    return description.contains(QLatin1String("Talvento Camera"), Qt::CaseInsensitive)
        && !description.contains(QLatin1String("IR "), Qt::CaseInsensitive);
}

constexpr int supervisionIntervalMs = 2000;

} // namespace

VMic::VMic(BaseSettings *settings, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , compressor(std::make_shared<DSPDynamicsCompressorFilter>())
    , bass(std::make_shared<DSPBassFilter>())
    , treble(std::make_shared<DSPTrebleFilter>())
    , agc(std::make_shared<DSPAGCFilter>())
    , rnn(std::make_shared<DSPRNNFilter>())
{
    _worker = Worker::create(this, true);
    _worker->runFunctionSync([this](QObject *) {
        supervisionTimer = new QTimer();
        connect(supervisionTimer, &QTimer::timeout, this, &VMic::supervise);
    });
}

VMic::~VMic()
{
    qDebug() << "VMic DCTOR! - before runFunctionSync";
    _worker->runFunctionSync([this](QObject *) {
        supervisionTimer->stop();
        supervisionTimer->deleteLater();
        supervisionTimer = nullptr;
    });
    qDebug() << "VMic DCTOR! - after runFunctionSync";
    stop();
    qDebug() << "VMic DCTOR! - after stop";
    _worker->shutdown();
    _worker.reset();
    qDebug() << "VMic DCTOR! - after _worker.reset()";
}

bool VMic::start()
{
    stop();
    const bool running = startInput() && startOutput();
    _worker->runFunctionSync([this](QObject *) {
        if (supervisionTimer && !supervisionTimer->isActive())
            supervisionTimer->start(supervisionIntervalMs);
    });
    emit onReconnecting(running);
    return running;
}

void VMic::stop()
{
    qDebug() << "VMic::stop";
    stopInput();
    stopOutput();
}

bool VMic::isInputRunning() const
{
    return !inputDevice.isNull() && input;
}

bool VMic::isOutputRunning() const
{
    return !outputDevice.isNull() && output;
}

QAudioFormat VMic::workingFormat(const QAudioDevice &device) const
{
    QAudioFormat format = device.preferredFormat();
    format.setSampleFormat(QAudioFormat::Int16);
    format.setChannelCount(1);
    format.setSampleRate(48000);
    return format;
}

QAudioDevice VMic::findInputDevice(bool verbose) const
{
    const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
    for (const QAudioDevice &device : inputs) {
        if (verbose)
            qDebug() << "Input audio device" << device.id() << device.description();
    }
    for (const QAudioDevice &device : inputs) {
        if (isProductMicrophone(device.description()))
            return device;
    }
    return QAudioDevice();
}

bool VMic::startInput()
{
    stopInput();
    lastProcessed = nowMs();
    const QAudioDevice device = findInputDevice(true);
    if (device.isNull())
        return false;
    qDebug() << "Found physicial input audio device" << device.id() << device.description();

    _worker->runFunctionSync([this, device](QObject *) {
        auto *candidate = new AudioInput();
        qDebug() << "preferred input format for" << device.description() << device.preferredFormat();
        if (candidate->open(device, workingFormat(device)) != QAudio::NoError) {
            delete candidate;
            return;
        }
        candidate->setName(QStringLiteral("Physical_Audio_Input"));
        candidate->setVolume(1.0f);
        inputDevice = device;
        input = candidate;
        const QAudioFormat format = input->workingFormat();
        qDebug() << "Successfully opened audio input " << device.description() << "format: "
                 << format.sampleFormat() << " " << format.channelCount() << " " << format.sampleRate() << "("
                 << input->name() << ")";
    });
    return isInputRunning();
}

QAudioDevice VMic::getOutputDevice(bool verbose)
{
    const QList<QAudioDevice> outputs = QMediaDevices::audioOutputs();
    QAudioDevice found;
    for (const QAudioDevice &device : outputs) {
        if (verbose)
            qDebug() << "Output audio device" << device.id() << device.description();
        if (found.isNull() && device.description().contains(QLatin1String("Talvento Control"), Qt::CaseInsensitive))
            found = device;
    }
    if (verbose && !found.isNull())
        qDebug() << "Found virtual output audio device" << found.id() << found.description();
    return found;
}

bool VMic::startOutput()
{
    stopOutput();
    if (!isInputRunning())
        return false;
    const QAudioDevice device = getOutputDevice(true);
    if (device.isNull())
        return false;

    _worker->runFunctionSync([this, device](QObject *) {
        if (!input)
            return;
        auto *candidate = new AudioOutput();
        qDebug() << "preferred output format for" << device.description() << device.preferredFormat();
        if (candidate->open(device, workingFormat(device)) != QAudio::NoError) {
            delete candidate;
            return;
        }
        candidate->setName(QStringLiteral("Virtual_Audio_Output"));
        candidate->setVolume(1.0f);
        outputDevice = device;
        output = candidate;
        const QAudioFormat format = output->workingFormat();
        qDebug() << "Successfully opened audio output " << device.description() << "format: "
                 << format.sampleFormat() << " " << format.channelCount() << " " << format.sampleRate() << "("
                 << output->name() << ")";
        // Processing runs here, on our worker, one block at a time.
        connect(input, &AudioInput::onDataRead, this, &VMic::processBlocks, Qt::QueuedConnection);

        const QString virtualName = device.description();
        AVFUtils::setDeviceVolumeByName(virtualName, 1.0f, true);
        AVFUtils::setDeviceVolumeByName(virtualName, 1.0f, false);
        AVFUtils::setDeviceMuteByName(virtualName, false, true);
        AVFUtils::setDeviceMuteByName(virtualName, false, false);

        // The microphone must be heard. Its level stays where the user put it:
        // the sound server's volume is cubic, so forcing 15 % here would
        // attenuate it by about 49 dB and leave the virtual microphone silent.
        float volume = 0;
        const QString microphone = inputDevice.description();
        if (AVFUtils::getDeviceVolumeByName(microphone, volume, true))
            AVFUtils::setDeviceMuteByName(microphone, false, true);
    });
    return isOutputRunning();
}

void VMic::stopInput()
{
    qDebug() << "VMic::stopInput";
    _worker->runFunctionSync([this](QObject *) {
        if (input) {
            qDebug() << "Closing " << inputDevice.description() << "(" << input->name() << ")";
            input->close();
            delete input;
        }
        input = nullptr;
        inputDevice = QAudioDevice();
        lastProcessed = 0;
    });
}

void VMic::stopOutput()
{
    qDebug() << "VMic::stopOutput";
    _worker->runFunctionSync([this](QObject *) {
        if (output) {
            qDebug() << "Closing " << outputDevice.description() << "(" << output->name() << ")";
            output->close();
            delete output;
        }
        output = nullptr;
        outputDevice = QAudioDevice();
    });
}

void VMic::processBlocks()
{
    if (!input || !output)
        return;
    AudioBufferManager::AudioSample sample = input->getData();
    if (!sample)
        return;

    struct Stage
    {
        BaseSettings::Settings group;
        DSPFilter *filter;
    };
    const Stage chain[] = {{BaseSettings::DSPRNN, rnn.get()},
                           {BaseSettings::DSPBass, bass.get()},
                           {BaseSettings::DSPTreble, treble.get()},
                           {BaseSettings::DSPAGC, agc.get()},
                           {BaseSettings::DSPCompressor, compressor.get()}};
    for (const Stage &stage : chain) {
        if (!settings->getSubSetting(stage.group, BaseSettings::Enabled).toBool())
            continue;
        QVariantMap map;
        settings->getSettingsMap(stage.group, map);
        AudioBufferManager::AudioSample out;
        stage.filter->process(map, sample, out);
        sample = out;
    }
    output->putData(sample, true);
    lastProcessed = nowMs();
}

void VMic::supervise()
{
    // A stream whose sound server went away is not running, whatever is still open.
    const bool running = isInputRunning() && isOutputRunning() && !input->hasFailed() && !output->hasFailed();
    const bool clients = clientsConnected;
    qDebug() << "VMic, clientsConnected" << (clients ? "true" : "false");
    if (clients && !running) {
        qDebug() << "restarting VMic, it's not running!";
        start();
    } else if (!clients && running) {
        qDebug() << "stopping VMic, no clientsConnected!";
        stop();
    } else if (clients && running) {
        if (!AVFUtils::isDeviceAvailable(inputDevice.description(), true)) {
            qDebug() << "input device stopped being available!";
            stop();
        }
        if (nowMs() - lastProcessed >= supervisionIntervalMs) {
            qDebug() << "restarting VMic - elapsed >=!" << supervisionIntervalMs;
            start();
        }
    }
}

bool VMic::getVolume(CameraSetting &setting)
{
    const QAudioDevice device = findInputDevice(false);
    float volume = 0;
    const bool ok = !device.isNull() && AVFUtils::getDeviceVolumeByName(device.description(), volume, true);
    setting.value = ok ? qRound64(volume * 100) : 0; // 40 % reads back as 0.39999
    setting.step = 1;
    setting.maximum = 100;
    setting.minimum = 0;
    setting.defaultValue = 15;
    setting.autoAvailable = false;
    setting.autoEnabled = false;
    return ok;
}

bool VMic::getMute(CameraSetting &setting)
{
    const QAudioDevice device = findInputDevice(false);
    bool mute = true;
    const bool ok = !device.isNull() && AVFUtils::getDeviceMuteByName(device.description(), mute, true);
    setting = CameraSetting{};
    setting.autoAvailable = true;
    setting.autoEnabled = ok ? mute : true;
    return ok;
}

bool VMic::setVolume(long value, bool)
{
    const QAudioDevice device = findInputDevice(false);
    return !device.isNull() && AVFUtils::setDeviceVolumeByName(device.description(), float(value) / 100.0f, true);
}

bool VMic::setMute(long, bool autoMode)
{
    const QAudioDevice device = findInputDevice(false);
    return !device.isNull() && AVFUtils::setDeviceMuteByName(device.description(), autoMode, true);
}

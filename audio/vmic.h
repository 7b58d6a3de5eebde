#pragma once

#include "app/core/camerasetting.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QObject>
#include <QSharedPointer>

#include <atomic>
#include <memory>

class AudioInput;
class AudioOutput;
class BaseSettings;
class DSPAGCFilter;
class DSPBassFilter;
class DSPDynamicsCompressorFilter;
class DSPRNNFilter;
class DSPTrebleFilter;
class QTimer;
class Worker;

/// The processed virtual microphone: captures the camera's microphone, runs
/// each block through the filter chain and plays it into the virtual audio
/// device. Runs only while the virtual camera has clients, and rebuilds itself
/// when audio stops flowing.
class VMic : public QObject
{
    Q_OBJECT
public:
    enum AudioSetting { Mute = 0, Volume = 1 };
    Q_ENUM(AudioSetting)

    VMic(BaseSettings *settings, QObject *parent);
    ~VMic() override;

    // GUI thread or the worker.
    bool start();
    void stop();
    bool startInput();
    bool startOutput();
    void stopInput();
    void stopOutput();
    bool isInputRunning() const;
    bool isOutputRunning() const;

    /// The virtual audio device, or a null device when it is not installed.
    static QAudioDevice getOutputDevice(bool verbose);

    /// The physical microphone's volume and mute, for the settings window.
    bool getVolume(CameraSetting &setting);
    bool getMute(CameraSetting &setting);
    bool setVolume(long value, bool autoMode);
    bool setMute(long value, bool autoMode);

    /// Whether the virtual camera has clients; written from the thread that
    /// signals the change, read by the supervision tick.
    std::atomic<bool> clientsConnected = true;

signals:
    void onReconnecting(bool status);
    void onVolume(long value, bool autoMode);
    void onMute(long value, bool autoMode);
    void onMessage(QString msg);

private:
    QAudioDevice findInputDevice(bool verbose) const;
    QAudioFormat workingFormat(const QAudioDevice &device) const;
    void processBlocks();
    void supervise();

    QSharedPointer<Worker> _worker;
    QTimer *supervisionTimer = nullptr;
    BaseSettings *settings = nullptr;
    std::atomic<qint64> lastProcessed = 0;
    QAudioDevice inputDevice;
    QAudioDevice outputDevice;
    AudioInput *input = nullptr;
    AudioOutput *output = nullptr;
    std::shared_ptr<DSPDynamicsCompressorFilter> compressor;
    std::shared_ptr<DSPBassFilter> bass;
    std::shared_ptr<DSPTrebleFilter> treble;
    std::shared_ptr<DSPAGCFilter> agc;
    std::shared_ptr<DSPRNNFilter> rnn;
};

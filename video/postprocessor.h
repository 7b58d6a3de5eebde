#pragma once

#include "app/core/basesettings.h"
#include "app/core/camerasetting.h"
#include "camera/frame.h"

#include <QObject>

#include <memory>

class SubProcessor;

/// Turns each camera frame into the frame handed to the virtual camera: skin tone,
/// background blur behind the person, rotation, logo and text overlays, in that
/// order, into a pooled 1280x720 BGRA frame carrying the input's timestamp. Owns the
/// four numeric effect settings the sliders edit.
class PostProcessor : public QObject
{
    Q_OBJECT
public:
    static constexpr int OutputWidth = 1280;
    static constexpr int OutputHeight = 720;
    /// Output frames in flight at most.
    static constexpr int PoolSize = 5;

    explicit PostProcessor(BaseSettings *settings, QObject *parent = nullptr);
    ~PostProcessor() override;

    /// The virtual camera's worker thread, one frame at a time. The processed frame;
    /// null for a null input; the input itself when no output frame is free. Inputs
    /// of another size are stretched to 1280x720.
    FrameRef processBuffer(FrameRef input);

    // Any thread; the records are cached under one lock and read fresh every frame.
    bool setSkinTone(long value, bool autoMode);
    bool getSkinTone(CameraSetting &setting);
    bool setBackgroundBlur(long value, bool autoMode);
    bool getBackgroundBlur(CameraSetting &setting);
    bool setCameraRotation(long value, bool autoMode);
    bool getCameraRotation(CameraSetting &setting);
    bool setFineCameraRotation(long value, bool autoMode);
    bool getFineCameraRotation(CameraSetting &setting);

    /// Before the first frame. The person-segmentation stage: any stage whose output
    /// is an 8-bit person mask covering the frame. The pipeline runs it on the camera
    /// frame when the blur is on and LowPowerMode is off, and blends only when it
    /// yields a mask.
    void setSegmentationStage(std::shared_ptr<SubProcessor> stage);

    /// Any thread. Waits until the overlay pictures asked for so far are built; frames
    /// never wait for them (offline rendering and benchmarks).
    void waitForOverlays();

signals:
    void onSkinTone(long value, bool autoMode);
    void onBackgroundBlur(long value, bool autoMode);
    void onCameraRotation(long value, bool autoMode);
    void onFineCameraRotation(long value, bool autoMode);

private:
    bool getSetting(BaseSettings::Settings key, CameraSetting &setting);
    bool setSetting(BaseSettings::Settings key, long value, bool autoMode);

    struct Opaque;
    std::shared_ptr<Opaque> m_opaque;
};

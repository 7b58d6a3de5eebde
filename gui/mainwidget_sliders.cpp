// The Sliders and Camera pages, made of slider rows alone, and the slider rows of
// the controllers, which the Light and Settings pages show as well.
#include "gui/mainwidget.h"

#include "camera/cameragrabber.h"
#include "gui/draggableframe.h"
#include "gui/gui.h"
#include "gui/mainwidget_p.h"
#include "light/lightcontroller.h"
#include "video/postprocessor.h"

#include <QCheckBox>
#include <QDebug>
#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>

using namespace mainwidgetparts;

void MainWidget::buildRowsNamed(QVBoxLayout *layout, Page page, const QString &name)
{
    for (const SliderRow &row : sliderRows()) {
        if (row.page == page && row.name == name)
            buildSliderRow(layout, row);
    }
}

void MainWidget::updateSlidersPage()
{
    updatePage(Sliders, defaultOrder(Sliders), [this](QVBoxLayout *layout, const QList<QString> &order) {
        for (const QString &name : order)
            buildRowsNamed(layout, Sliders, name);
    });
}

void MainWidget::updateCameraPage()
{
    updatePage(Camera, defaultOrder(Camera), [this](QVBoxLayout *layout, const QList<QString> &order) {
        for (const QString &name : order)
            buildRowsNamed(layout, Camera, name);
    });
}

QList<MainWidget::SliderRow> MainWidget::sliderRows() const
{
    QList<SliderRow> rows;
    // One row of a controller whose getter, setter and change signal share the
    // shape every controller uses.
    auto add = [&rows](auto *controller, Page page, const char *name, const char *objectName, const char *icon,
                       const char *kind, auto get, auto set, auto signal, std::function<bool()> live) {
        rows.append({page, name, objectName, icon, kind,
                     [controller, get](CameraSetting &setting) { return (controller->*get)(setting); },
                     [controller, set](long value, bool autoMode) { return (controller->*set)(value, autoMode); },
                     [controller, signal](DraggableFrame *frame) {
                         connect(controller, signal, frame, &DraggableFrame::onValueHasExternallyChanged);
                     },
                     [controller, signal](long value, bool autoMode) { emit(controller->*signal)(value, autoMode); },
                     std::move(live)});
    };

    if (CameraGrabber *camera = m_controllers.camera) {
        using C = CameraGrabber;
        auto running = [camera] { return camera->isRunning(); };
        add(camera, Sliders, "White Balance", "Setting_WhiteBalance", "icon_white_balance", "TEMP",
            &C::getWhiteBalance, &C::setWhiteBalance, &C::onWhiteBalance, running);
        add(camera, Sliders, "Brightness", "Setting_Brightness", "icon_brightness", "PERC", &C::getBrightness,
            &C::setBrightness, &C::onBrightness, running);
        add(camera, Sliders, "Saturation", "Setting_Saturation", "icon_saturation", "PERC", &C::getSaturation,
            &C::setSaturation, &C::onSaturation, running);
        add(camera, Sliders, "Exposure", "Setting_Exposure", "icon_exposure", "PERC", &C::getExposure,
            &C::setExposure, &C::onExposure, running);
        add(camera, Sliders, "Backlight", "Setting_BacklightCompensation", "icon_backlight", "[Off, On]",
            &C::getBacklightCompensation, &C::setBacklightCompensation, &C::onBacklightCompensation, running);
        add(camera, Camera, "Zoom", "Setting_Zoom", "icon_zoom", "PERC", &C::getZoom, &C::setZoom, &C::onZoom,
            running);
        add(camera, Camera, "Sharpness", "Setting_Sharpness", "icon_sharpness", "PERC", &C::getSharpness,
            &C::setSharpness, &C::onSharpness, running);
        add(camera, Camera, "Contrast", "Setting_Contrast", "icon_contrast", "PERC", &C::getContrast,
            &C::setContrast, &C::onContrast, running);
        add(camera, Camera, "Focus", "Setting_Focus", "icon_focus", "", &C::getFocus, &C::setFocus, &C::onFocus,
            running);
        add(camera, Settings, "Home Voltage", "Setting_PowerLine", "icon_power_line", "[Auto, 220v, 110v]",
            &C::getPowerLine, &C::setPowerLine, &C::onPowerLine, running);
    }
    if (PostProcessor *effects = m_controllers.effects) {
        using P = PostProcessor;
        // The effects apply to the virtual camera whether or not the preview runs.
        auto always = [] { return true; };
        add(effects, Sliders, "Skin Tone", "Setting_SkinTone", "icon_skin", "SKIN", &P::getSkinTone,
            &P::setSkinTone, &P::onSkinTone, always);
        add(effects, Camera, "Background Blur", "Setting_BackgroundBlur", "icon_blur", "PERC",
            &P::getBackgroundBlur, &P::setBackgroundBlur, &P::onBackgroundBlur, always);
        add(effects, Settings, "Rotation", "Setting_CameraRotation", "icon_rotation", "ROT", &P::getCameraRotation,
            &P::setCameraRotation, &P::onCameraRotation, always);
        add(effects, Settings, "Angle", "Setting_FineCameraRotation", "icon_fine_rotation", "DEG",
            &P::getFineCameraRotation, &P::setFineCameraRotation, &P::onFineCameraRotation, always);
    }
    if (LightController *light = m_controllers.light) {
        using L = LightController;
        auto connected = [light] { return light->isConnected(); };
        add(light, Light, "Temperature", "Setting_Temperature", "icon_white_balance", "TEMP", &L::getTemperature,
            &L::setTemperature, &L::onTemperature, connected);
        add(light, Light, "Brightness", "Setting_Brightness", "icon_brightness", "PERC", &L::getBrightness,
            &L::setBrightness, &L::onBrightness, connected);
    }
    return rows;
}

void MainWidget::buildSliderRow(QVBoxLayout *layout, const SliderRow &row)
{
    auto record = std::make_shared<CameraSetting>();
    const bool ok = row.get(*record);
    DraggableFrame *frame = findRow(layout, row.objectName);
    if (!frame) {
        qDebug() << "Creating" << row.name << record->value << record->step << record->maximum << record->minimum
                 << record->defaultValue << record->autoAvailable << record->autoEnabled;
        const int style = row.kind == "TEMP" ? gui::HeatSlider : row.kind == "SKIN" ? gui::SkinSlider : gui::PlainSlider;
        frame = gui::createSettingLayout(
            layout, row.icon, row.name, style, record->autoAvailable, record->autoEnabled, long(record->minimum),
            long(record->maximum), long(record->defaultValue), long(record->step), long(record->value),
            [this, row, record](QCheckBox *toggle, QSlider *slider, QLabel *label) {
                onSliderRowChanged(row, record, toggle, slider, label);
            },
            [row, record](QCheckBox *toggle, QSlider *slider, QLabel *label) {
                showSliderRowValue(row, *record, toggle, slider, label);
            });
        frame->setObjectName(row.objectName);
        followDrops(layout, frame);
        row.follow(frame);
        // The handler keeps the record it was created with; refreshes update it.
        m_records.insert(frame, record);
    } else if (auto stored = m_records.value(frame)) {
        *stored = *record;
    }
    const bool live = ok && row.live();
    gui::enableChildren(frame, live);
    if (live)
        row.announce(long(record->value), record->autoEnabled);
}

void MainWidget::onSliderRowChanged(const SliderRow &row, const std::shared_ptr<CameraSetting> &record,
                                    QCheckBox *toggle, QSlider *slider, QLabel *valueLabel)
{
    const bool wasEnabled = slider->isEnabled();
    slider->setEnabled(toggle->isEnabled() && toggle->isChecked());
    if (wasEnabled && !slider->isEnabled() && !record->autoAvailable) {
        const QSignalBlocker block(slider);
        slider->setValue(int(record->defaultValue));
    }
    const bool manual = !toggle->isEnabled() || toggle->isChecked();
    const bool autoMode = manual ? false : record->autoAvailable;
    if (!row.set(slider->value(), autoMode)) {
        qDebug() << "Error setting " + QString(row.name).remove(' ');
        valueLabel->setText(tr("Auto"));
        return;
    }
    showSliderRowValue(row, *record, toggle, slider, valueLabel);
}

void MainWidget::showSliderRowValue(const SliderRow &row, const CameraSetting &record, const QCheckBox *toggle,
                                    const QSlider *slider, QLabel *valueLabel)
{
    const bool manual = !toggle->isEnabled() || toggle->isChecked();
    if (!manual && record.autoAvailable) {
        valueLabel->setText(tr("Auto"));
        return;
    }
    QString text = gui::valueText(row.kind, slider->value(), slider->minimum(), slider->maximum());
    if (!manual)
        text = QString("Default%1%2").arg(text.isEmpty() ? "" : ": ", text);
    valueLabel->setText(text);
}

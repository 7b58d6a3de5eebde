#pragma once

#include "app/core/basesettings.h"
#include "app/core/camerasetting.h"

#include <QHash>
#include <QImage>
#include <QRect>
#include <QList>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class CameraGrabber;
class DraggableFrame;
class LightController;
class PostProcessor;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QMovie;
class QSlider;
class QStackedWidget;
class QTimer;
class QVBoxLayout;
class QWheelEvent;
class RenderFrame;
class VMic;

/// The settings window: the camera preview, the camera chooser and the pages
/// of setting rows, shown as a popup of the tray icon. Rows are built from the
/// controllers that exist; a page remembers the order the user dragged its
/// rows into.
class MainWidget : public QWidget
{
    Q_OBJECT
public:
    enum Page { Sliders = 0, Camera = 1, Light = 2, Audio = 3, Overlays = 4, Settings = 5 };
    Q_ENUM(Page)

    /// The controllers whose settings the pages show; a missing one (null)
    /// leaves its rows out.
    struct Controllers
    {
        LightController *light = nullptr;
        VMic *microphone = nullptr;
        CameraGrabber *camera = nullptr;
        /// The virtual camera's video effects.
        PostProcessor *effects = nullptr;

        /// The application's components.
        static Controllers fromApp();
    };

    explicit MainWidget(QWidget *parent = nullptr);
    MainWidget(Controllers controllers, QWidget *parent);
    ~MainWidget() override;

    void updatePage(Page page, const QList<QString> &defaultOrder,
                    std::function<void(QVBoxLayout *, const QList<QString> &)> builder);
    void updateSlidersPage();
    void updateCameraPage();
    void updateLightPage();
    void updateAudioPage();
    void updateOverlaysPage();
    void updateSettingsPage();
    void updateAllPages();

    /// Moves `dragged` to `target`'s place and stores the page's new order.
    void reorderSettings(QVBoxLayout *layout, DraggableFrame *dragged, DraggableFrame *target);
    void addWarningFrame(QVBoxLayout *layout, const QString &text);
    /// Puts every row's toggle back to its default state.
    void resetAllSettings();

    void setStockImage(const QString &name, bool invert, float scale, const QString &text);
    void renderImageFrame(const QImage &image, float scale, const QString &text, bool invert);

    /// Scrolls the current page; rows hand their wheel events here.
    void forwardMouseWheelEvent(QWheelEvent *event);
    void adjustPageSize();
    void adjustPosition();
    void bringToFront();

    /// The stock picture the preview shows instead of camera pictures ("spinner", "low_power",
    /// "icon_camera" when the camera is lost), empty while camera pictures show.
    QString previewStockImage() const { return m_stockImage; }

    /// The built-in row order of each page.
    static QList<QString> defaultOrder(Page page);
    static int pageHeight(Page page);

public slots:
    void reconnectCamera(int index, const QString &name);
    void restartCamera();
    void onNewFrame(const QImage &image);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    /// A slider row of a controller: how to read, write and follow one setting.
    struct SliderRow
    {
        Page page;
        QString name;       ///< shown, and kept in the stored order
        QString objectName; ///< "Setting_" + name, without blanks
        QString icon;
        QString kind;       ///< selects the slider look and the value text
        std::function<bool(CameraSetting &)> get;
        std::function<bool(long, bool)> set;
        /// Connects the controller's change signal to the row.
        std::function<void(DraggableFrame *)> follow;
        /// Emits the controller's change signal with the current value.
        std::function<void(long, bool)> announce;
        /// The controller can take values now (camera running, panel connected).
        std::function<bool()> live;
    };

    void createUi();
    QWidget *createTabHeader();
    QWidget *createPage(Page page, int height);
    void addPage(QWidget *page);
    QWidget *createTransparentFrame();
    QWidget *createTransparentScrollFrame();
    QWidget *createFooter();


    void showLightRows(QVBoxLayout *layout, bool connected);
    void fillCameraChooser();
    /// Asks the grabber for its newest picture; one request at a time.
    void requestPreviewFrame();
    /// Once a second: low power mode, a stalled preview, a camera to reopen.
    void watchPreview();

    QList<SliderRow> sliderRows() const;
    void buildSliderRow(QVBoxLayout *layout, const SliderRow &row);
    void onSliderRowChanged(const SliderRow &row, const std::shared_ptr<CameraSetting> &record, QCheckBox *toggle,
                            QSlider *slider, QLabel *valueLabel);
    /// The row's value text, for a value set by the user or announced to the row.
    static void showSliderRowValue(const SliderRow &row, const CameraSetting &record, const QCheckBox *toggle,
                                   const QSlider *slider, QLabel *valueLabel);
    void buildRowsNamed(QVBoxLayout *layout, Page page, const QString &name);
    /// A drag that enters another row of the page moves this one there.
    void followDrops(QVBoxLayout *layout, DraggableFrame *frame);
    DraggableFrame *findRow(QVBoxLayout *layout, const QString &objectName) const;
    DraggableFrame *createRow(QVBoxLayout *layout, const QString &icon, const QString &name,
                              const QString &objectName);

    void addVolumeSettingLayout(QVBoxLayout *layout, const QString &name);
    void addAudioSettingLayout(QVBoxLayout *layout, const QString &name);
    void addSettingLayout(QVBoxLayout *layout, const QString &name);
    void addAppInfoAndUpdateLayout(QVBoxLayout *layout, const QString &name);
    void addLogoSettingLayout(QVBoxLayout *layout, const QString &name);
    void addTextSettingLayout(QVBoxLayout *layout, const QString &name);
    void addCommonOverlaySettings(QVBoxLayout *layout, BaseSettings::Settings group, const QStringList &keys);
    QWidget *fractionSlider(const QString &title, BaseSettings::Settings group, BaseSettings::SubSettings entry,
                            int minimum);
    QWidget *createOverlayButton(const QString &icon, const QString &tip);
    QWidget *createColorButton(BaseSettings::Settings group, BaseSettings::SubSettings key, const QString &icon,
                               const QString &tip);

    QVBoxLayout *pageLayout(Page page) const;
    QWidget *currentPageScrollArea() const;

    Controllers m_controllers;
    RenderFrame *m_preview = nullptr;
    QComboBox *m_cameraChooser = nullptr;
    QStackedWidget *m_stack = nullptr;
    QButtonGroup *m_tabs = nullptr;
    QMovie *m_movie = nullptr;
    QTimer *m_watchdog = nullptr; ///< watches the preview while the window shows
    QString m_stockImage;
    QList<Page> m_pages;
    QHash<DraggableFrame *, std::shared_ptr<CameraSetting>> m_records;
    bool m_lightFollowed = false;
    qint64 m_lastFrameMs = 0;
    qint64 m_frameRequestMs = 0; ///< 0 while no preview picture is asked for
    qint64 m_lastRestartMs = 0;
    /// One buffer for every preview request, used only on the grabber's thread: the grabber
    /// fills it in place and the window gets a copy.
    const std::shared_ptr<QImage> m_previewBuffer = std::make_shared<QImage>();
    QWidget *m_shadowLayer = nullptr;
    QImage m_shadow; ///< the panel's drop shadow, for m_shadowPanel
    QRect m_shadowPanel;
};

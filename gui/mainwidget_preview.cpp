// The camera preview at the top of the window and the pictures shown in its place.
#include "gui/mainwidget.h"

#include "camera/cameragrabber.h"
#include "gui/gui.h"
#include "gui/mainwidget_p.h"
#include "gui/renderframe.h"

#include <QComboBox>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QMovie>
#include <QPainter>
#include <QPointer>
#include <QTimer>

using namespace mainwidgetparts;

namespace {

// The grabber captures at twice the preview's size, sharp on high-density screens.
constexpr int CaptureWidth = 640;
constexpr int CaptureHeight = 360;
// A preview without a new picture for this long counts as stalled; a camera
// that is not running is reopened no more often than this.
constexpr qint64 PreviewPatienceMs = 5000;
// Shown while the camera is lost (unplugged, or its stream ended); the camera grabber opens it
// again by itself when it comes back.
const char *const LostPicture = "icon_camera";

} // namespace

void MainWidget::reconnectCamera(int index, const QString &name)
{
    setStockImage("spinner", false, 0.5f, tr("connecting to device..."));
    QTimer::singleShot(250, this, [this, index, name] {
        if (CameraGrabber *camera = m_controllers.camera) {
            camera->stopCamera();
            // A hidden window needs no camera: showing it reconnects.
            if (index >= 0 && isVisible() && !camera->startCamera(CaptureWidth, CaptureHeight, index, name))
                setStockImage(LostPicture, true, 0.35f, tr("camera disconnected"));
        }
        // A fresh start: the stall check waits for the first picture.
        m_lastFrameMs = QDateTime::currentMSecsSinceEpoch();
        updateAllPages();
    });
}

void MainWidget::restartCamera()
{
    const QVariantList data = m_cameraChooser->currentData().toList();
    if (data.size() == 2)
        reconnectCamera(data[0].toInt(), data[1].toString());
    else
        reconnectCamera(-1, "");
}

void MainWidget::onNewFrame(const QImage &image)
{
    if (image.isNull())
        return;
    m_lastFrameMs = QDateTime::currentMSecsSinceEpoch();
    if (!isVisible())
        return;
    // A real picture replaces the waiting animation.
    m_stockImage.clear();
    if (m_movie) {
        m_movie->stop();
        m_movie->deleteLater();
        m_movie = nullptr;
    }
    m_preview->onNewFrame(image, false);
}

void MainWidget::requestPreviewFrame()
{
    CameraGrabber *camera = m_controllers.camera;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // A request the grabber dropped never answers; after a second it no longer holds the next.
    if (!camera || !isVisible() || (m_frameRequestMs && now - m_frameRequestMs < 1000))
        return;
    m_frameRequestMs = now;
    const QPointer<MainWidget> window(this);
    camera->getFrame(*m_previewBuffer, [window, buffer = m_previewBuffer](bool ok) {
        const QImage picture = ok ? *buffer : QImage();
        // The window is looked at only on the GUI thread.
        QMetaObject::invokeMethod(
            qApp,
            [window, picture] {
                if (!window)
                    return;
                window->m_frameRequestMs = 0;
                window->onNewFrame(picture);
            },
            Qt::QueuedConnection);
    });
}

void MainWidget::watchPreview()
{
    CameraGrabber *camera = m_controllers.camera;
    if (!camera)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!camera->isRunning()) {
        if (isVisible())
            setStockImage(LostPicture, true, 0.35f, tr("camera disconnected"));
        if (isVisible() && now - m_lastRestartMs >= PreviewPatienceMs) {
            m_lastRestartMs = now;
            restartCamera();
        }
        return;
    }
    if (app()->setMgr()->getSubSetting(BaseSettings::General, BaseSettings::LowPowerMode).toBool()) {
        setStockImage("low_power", false, 0.45f, "");
        if (camera->isPreviewing()) {
            qDebug() << "Stopping preview in low power mode on";
            camera->stopPreview();
        }
    } else if (!camera->isPreviewing()) {
        qDebug() << "Restarting preview from low power mode off ";
        camera->startPreview();
        m_lastFrameMs = now;
    } else if (now - m_lastFrameMs > PreviewPatienceMs) {
        setStockImage("spinner", false, 0.5f, tr("connecting to device..."));
    }
}

void MainWidget::setStockImage(const QString &name, bool invert, float scale, const QString &text)
{
    if (name == m_stockImage && !m_movie)
        return; // already on show
    m_stockImage = name;
    const QString movie = ":/assets/" + name + ".gif";
    if (QFile::exists(movie)) {
        if (m_movie && m_movie->fileName() == movie && m_movie->state() == QMovie::Running)
            return;
        delete m_movie;
        m_movie = new QMovie(movie, QByteArray(), this);
        connect(m_movie, &QMovie::frameChanged, this, [this, scale, text, invert] {
            renderImageFrame(m_movie->currentImage(), scale, text, invert);
        });
        m_movie->start();
        return;
    }
    if (m_movie) {
        m_movie->stop();
        m_movie->deleteLater();
        m_movie = nullptr;
    }
    renderImageFrame(gui::loadAsset(gui::assetPath(name), 256), scale, text, invert);
}

void MainWidget::renderImageFrame(const QImage &image, float scale, const QString &text, bool invert)
{
    const qreal ratio = devicePixelRatioF();
    QImage canvas(QSize(PreviewWidth, PreviewHeight) * ratio, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::black);
    if (!image.isNull()) {
        QImage picture = image;
        if (invert)
            picture.invertPixels();
        const int side = int(scale * std::min(canvas.width(), canvas.height()));
        const QImage scaled = picture.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const int top = (canvas.height() - side) / 2 - (text.isEmpty() ? 0 : int(10 * ratio));
        painter.drawImage(QPoint((canvas.width() - scaled.width()) / 2, top + (side - scaled.height()) / 2), scaled);
        if (!text.isEmpty()) {
            QFont font = app()->getMainFont();
            font.setPixelSize(int(13 * ratio));
            painter.setFont(font);
            painter.setPen(QColor(255, 255, 255, 220));
            painter.drawText(QRect(0, top + side + int(6 * ratio), canvas.width(), int(24 * ratio)),
                             Qt::AlignHCenter | Qt::AlignTop, text);
        }
    }
    m_preview->onNewFrame(canvas, true);
}

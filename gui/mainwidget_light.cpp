// The Light page: the light panel's rows, or a warning while no panel is connected.
#include "gui/mainwidget.h"

#include "gui/draggableframe.h"
#include "gui/mainwidget_p.h"
#include "light/lightcontroller.h"

#include <QFrame>
#include <QVBoxLayout>

using namespace mainwidgetparts;

namespace {

const QString LightPanelLink = "https://www.talvento.com/products/light-panel";

} // namespace

void MainWidget::updateLightPage()
{
    updatePage(Light, defaultOrder(Light), [this](QVBoxLayout *layout, const QList<QString> &order) {
        for (const QString &name : order)
            buildRowsNamed(layout, Light, name);
        LightController *light = m_controllers.light;
        if (!light)
            return;
        if (!light->isConnected()) {
            addWarningFrame(layout, tr("This feature requires a charged ") + "<br><br>"
                                        + QString("<b><u><a href=\"%1\">%2</a></u></b>")
                                              .arg(LightPanelLink, tr("Talvento Light Panel")));
        }
        if (!m_lightFollowed) {
            m_lightFollowed = true;
            connect(light, &LightController::onStatusChanged, this, [this](bool) { updateLightPage(); });
        }
        showLightRows(layout, light->isConnected());
    });
}

void MainWidget::showLightRows(QVBoxLayout *layout, bool connected)
{
    QWidget *page = layout->parentWidget();
    for (const char *name : {"Setting_Temperature", "Setting_Brightness"}) {
        if (auto *row = findRow(layout, name))
            row->setVisible(connected);
    }
    if (auto *warning = page->findChild<QFrame *>("warning_frame"))
        warning->parentWidget()->setVisible(!connected);
}

#pragma once
// Shared by the settings window's tests.

#include "gui/mainwidget.h"

#include <QLayout>
#include <QMetaEnum>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QtTest>

/// Shows `window` and goes through its tabs: each page's window is its designed height at most
/// (the screen may make it smaller) and 452 wide, and at that height its rows show without
/// scrolling.
inline void verifyPagesFitTheirDesignedSize(MainWidget &window)
{
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.width(), 452);
    const int screenHeight = window.screen()->availableGeometry().height();
    const QList<QPushButton *> tabs = window.findChild<QWidget *>("tabHeader")->findChildren<QPushButton *>();
    auto *stack = window.findChild<QStackedWidget *>("_mainStack");
    QCOMPARE(tabs.size(), stack->count());
    for (int i = 0; i < tabs.size(); ++i) {
        tabs[i]->click();
        QWidget *page = stack->currentWidget();
        const QString name = page->findChild<QWidget *>("settingsFrame")->layout()->property("settings_name").toString();
        const int designed = MainWidget::pageHeight(MainWidget::Page(
            QMetaEnum::fromType<MainWidget::Page>().keyToValue(qPrintable(name))));
        QTRY_COMPARE(window.height(), std::min(designed, screenHeight));
        // The rows at the designed height, whatever the screen here.
        window.resize(window.width(), designed);
        window.layout()->activate();
        QApplication::processEvents();
        auto *scroll = page->findChild<QScrollArea *>("scrollArea");
        QVERIFY2(scroll->verticalScrollBar()->maximum() == 0,
                 qPrintable(QString("%1 needs %2 more pixels").arg(name).arg(scroll->verticalScrollBar()->maximum())));
    }
}

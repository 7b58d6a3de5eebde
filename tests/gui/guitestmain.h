#pragma once

// The entry of the GUI tests: an App with its settings in a private folder,
// started in its timed-quit mode so that no component, tray icon or instance
// lock comes up. Modal message boxes are answered by the test through
// answerNextMessage().

#include "app/app.h"

#include <QAbstractButton>
#include <QColor>
#include <QPalette>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cmath>

/// Clicks the button labelled `answer` on the next message box that opens,
/// and stores that box's text in `*seen` when given.
inline void answerNextMessage(const QString &answer, QString *seen = nullptr)
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, answer, seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (seen)
            *seen = box->text() + "\n" + box->informativeText();
        for (QAbstractButton *button : box->buttons()) {
            if (button->text() == answer) {
                poll->deleteLater();
                button->click();
                return;
            }
        }
    });
    poll->start(20);
}

/// Switches the application to the dark (or light) appearance the way a desktop theme does:
/// through the application palette.
inline void setDarkAppearance(bool dark)
{
    QPalette palette;
    palette.setColor(QPalette::Window, dark ? QColor("#202020") : QColor("#f0f0f0"));
    palette.setColor(QPalette::WindowText, dark ? QColor("#f0f0f0") : QColor("#202020"));
    QApplication::setPalette(palette);
}

/// The contrast ratio of two opaque colours, 1 to 21, from their relative luminance.
inline double contrastRatio(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &c) {
        const auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

#define TALVENTO_GUI_TEST_MAIN(TestClass)                                                                  \
    int main(int argc, char **argv)                                                                       \
    {                                                                                                     \
        QTemporaryDir config;                                                                             \
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));                                    \
        QList<QByteArray> args{argv[0], "--quit", "3600000"};                                            \
        std::vector<char *> appArgv;                                                                      \
        for (QByteArray &arg : args)                                                                      \
            appArgv.push_back(arg.data());                                                                \
        int appArgc = int(appArgv.size());                                                                \
        App app(appArgc, appArgv.data(), 0x060800);                                                       \
        TestClass test;                                                                                   \
        return QTest::qExec(&test, argc, argv);                                                           \
    }

#pragma once

// The entry of the GUI tests: an App with its settings in a private folder,
// started in its timed-quit mode so that no component, tray icon or instance
// lock comes up. Modal message boxes are answered by the test through
// answerNextMessage().

#include "app/app.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

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

#include "app/app.h"
#include "app/core/logging.h"
#include "app/osversion.h"
#include "app/popupplacement.h"

#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

// The application object in this process: colours, appearance, message boxes, placement.
class tst_App : public QObject
{
    Q_OBJECT
private slots:
    void colourRoles_data();
    void colourRoles();
    void appearanceFollowsTheDesktop();
    void messageBox_data();
    void messageBox();
    void popupPlacement_data();
    void popupPlacement();
    void noPopupWithoutWidget();
    void versionComponents_data();
    void versionComponents();
    void messagesPassThroughTheHandler();

private:
    App *app() { return static_cast<App *>(qApp); }
    void setDark(bool dark);
};

void tst_App::setDark(bool dark)
{
    QPalette palette;
    palette.setColor(QPalette::Window, dark ? QColor("#202020") : QColor("#f0f0f0"));
    palette.setColor(QPalette::WindowText, dark ? QColor("#f0f0f0") : QColor("#202020"));
    QApplication::setPalette(palette);
}

void tst_App::colourRoles_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("light");
    QTest::addColumn<QString>("dark");
    QTest::newRow("0 background") << 0 << "#ffffff" << "#2d2d2f";
    QTest::newRow("1 translucent background") << 1 << "#e0ffffff" << "#e02d2d2f";
    QTest::newRow("5 primary text") << 5 << "#474749" << "#ffffff";
    QTest::newRow("6 same in both") << 6 << "#474749" << "#474749";
    QTest::newRow("8 same in both") << 8 << "#8d8d8d" << "#8d8d8d";
    QTest::newRow("9 same in both") << 9 << "#ffffff" << "#ffffff";
    QTest::newRow("11 same in both") << 11 << "#0064da" << "#0064da";
    QTest::newRow("15 last role") << 15 << "#474749" << "#ffffff";
    QTest::newRow("outside the table") << 16 << "" << "";
    QTest::newRow("negative") << -1 << "" << "";
}

void tst_App::colourRoles()
{
    QFETCH(int, role);
    QFETCH(QString, light);
    QFETCH(QString, dark);
    const auto element = App::UIElement(role);
    setDark(false);
    QVERIFY(!app()->isInDarkMode());
    QCOMPARE(app()->getColorStr(element), light);
    QCOMPARE(app()->getColor(element).isValid(), !light.isEmpty());
    QCOMPARE(app()->getColor(element), QColor::fromString(light));
    setDark(true);
    QVERIFY(app()->isInDarkMode());
    QCOMPARE(app()->getColorStr(element), dark);
    setDark(false);
}

void tst_App::appearanceFollowsTheDesktop()
{
    setDark(false);
    QSignalSpy changed(app(), &App::appearenceChanged);
    QCOMPARE(app()->getColor(App::WindowBackgroundTranslucent), QColor(255, 255, 255, 224));

    setDark(true);
    QCOMPARE(changed.count(), 1);
    QVERIFY(app()->isSystemDarkMode());
    QCOMPARE(app()->getColorStr(App::PrimaryText), QString("#ffffff"));
    QCOMPARE(app()->getColor(App::WindowBackgroundTranslucent), QColor(0x2d, 0x2d, 0x2f, 224));

    // Another notification without a switch between light and dark changes nothing.
    QPalette stillDark = QApplication::palette();
    stillDark.setColor(QPalette::Button, QColor("#303030"));
    QApplication::setPalette(stillDark);
    QCOMPARE(changed.count(), 1);

    setDark(false);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(app()->getColorStr(App::PrimaryText), QString("#474749"));
}

void tst_App::messageBox_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("noText");
    QTest::addColumn<QString>("informative");
    QTest::addColumn<bool>("clickYes");
    QTest::addColumn<QString>("shownText");
    QTest::addColumn<QString>("shownInformative");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<bool>("result");
    QTest::newRow("message under the title")
        << "Camera lost<br>Plug it in" << "" << "" << true << "Talvento Control" << "Camera lost\nPlug it in" << 1 << true;
    QTest::newRow("question answered no")
        << "Update?" << "Later" << "Version 2<br>is out" << false << "Update?" << "Version 2\nis out" << 2 << false;
    QTest::newRow("question answered yes")
        << "Update?" << "Later" << "Details" << true << "Update?" << "Details" << 2 << true;
    QTest::newRow("upper-case BR stays") << "a<BR>b" << "" << "" << true << "Talvento Control" << "a<BR>b" << 1 << true;
}

void tst_App::messageBox()
{
    QFETCH(QString, text);
    QFETCH(QString, noText);
    QFETCH(QString, informative);
    QFETCH(bool, clickYes);
    QFETCH(QString, shownText);
    QFETCH(QString, shownInformative);
    QFETCH(int, buttons);
    QFETCH(bool, result);

    QString seenText, seenInformative;
    int seenButtons = -1;
    bool seenDefaultIsYes = false;
    // Answer the box from inside its own event loop, as a user would.
    QTimer::singleShot(0, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        seenText = box->text();
        seenInformative = box->informativeText();
        seenButtons = box->buttons().size();
        seenDefaultIsYes = box->defaultButton() && box->buttonRole(box->defaultButton()) == QMessageBox::YesRole;
        for (QAbstractButton *button : box->buttons()) {
            if ((box->buttonRole(button) == QMessageBox::YesRole) == clickYes)
                button->click();
        }
    });
    QCOMPARE(app()->showMessage(text, noText, "Ok", informative), result);
    QCOMPARE(seenText, shownText);
    QCOMPARE(seenInformative, shownInformative);
    QCOMPARE(seenButtons, buttons);
    QVERIFY(seenDefaultIsYes);
}

void tst_App::popupPlacement_data()
{
    QTest::addColumn<QRect>("tray");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("expected");
    const QRect screen(0, 25, 1440, 875); // below a 25-pixel top bar
    QTest::newRow("top bar, icon near the right end: ends at the right edge")
        << QRect(1400, 0, 30, 25) << screen << QSize(400, 600) << QRect(1040, 25, 400, 600);
    QTest::newRow("top bar, room to the right: under the icon")
        << QRect(300, 0, 30, 25) << screen << QSize(400, 600) << QRect(300, 25, 400, 600);
    QTest::newRow("bottom panel at the right: above the panel")
        << QRect(1258, 770, 22, 30) << QRect(0, 0, 1280, 770) << QSize(400, 600) << QRect(880, 170, 400, 600);
    QTest::newRow("unknown icon position: bottom-right corner")
        << QRect() << screen << QSize(400, 600) << QRect(1040, 300, 400, 600);
    QTest::newRow("larger than the screen: top-left stays visible")
        << QRect(1400, 0, 30, 25) << screen << QSize(2000, 1000) << QRect(0, 25, 2000, 1000);
    QTest::newRow("second screen on the left")
        << QRect(-100, 0, 30, 25) << QRect(-1920, 25, 1920, 1055) << QSize(400, 600) << QRect(-400, 25, 400, 600);
}

void tst_App::popupPlacement()
{
    QFETCH(QRect, tray);
    QFETCH(QRect, available);
    QFETCH(QSize, size);
    QFETCH(QRect, expected);
    QCOMPARE(placePopup(tray, available, size), expected);
}

void tst_App::noPopupWithoutWidget()
{
    QCOMPARE(app()->computePopupPlacingArea(nullptr), QRect());
    QWidget popup;
    popup.resize(300, 200);
    const QRect placed = app()->computePopupPlacingArea(&popup);
    QCOMPARE(placed.size(), QSize(300, 200));
    QVERIFY(QGuiApplication::primaryScreen()->availableGeometry().contains(placed));
}

void tst_App::versionComponents_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("build");
    QTest::newRow("debian") << "12" << 12 << 0 << 0;
    QTest::newRow("ubuntu") << "22.04" << 22 << 4 << 0;
    QTest::newRow("kernel-like") << "6.1.0-13" << 6 << 1 << 0;
    QTest::newRow("three parts") << "14.5.1" << 14 << 5 << 1;
    QTest::newRow("empty middle") << "3..7" << 3 << 0 << 7;
    QTest::newRow("rolling") << "rolling" << 0 << 0 << 0;
    QTest::newRow("empty") << "" << 0 << 0 << 0;
}

void tst_App::versionComponents()
{
    QFETCH(QString, version);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, build);
    QCOMPARE(versionComponent(version, 0), major);
    QCOMPARE(versionComponent(version, 1), minor);
    QCOMPARE(versionComponent(version, 2), build);
}

void tst_App::messagesPassThroughTheHandler()
{
    // Our handler hands messages to the one that was active before App installed it (Qt's own
    // output). Handing them to qt_message_output instead would re-enter the installed handler
    // and recurse until the stack overflows.
    const QtMessageHandler qtTest = qInstallMessageHandler(customMessageHandler);
    qWarning("tst_App -> this line goes to standard error through the application's handler");
    QVERIFY(qInstallMessageHandler(qtTest) == &customMessageHandler);
}

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    qputenv("TMPDIR", QFile::encodeName(home.path()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.path())); // the instance lock's, private
    // The application sees only --simulate, so that its setup wizard takes this build tree for an
    // installed copy and never asks about one; QtTest gets the real options.
    QByteArray simulate("--simulate");
    char *appArgv[] = { argv[0], simulate.data(), nullptr };
    int appArgc = 2;
    // Should the components come up while the tests run, the silent update check stays on loopback.
    AppSeams seams;
    seams.updateManifestUrl = QUrl(QStringLiteral("https://127.0.0.1:9/TalventoControl/update_manifest.json"));
    App app(appArgc, appArgv, QApplication::ApplicationFlags, seams);
    if (!app.isSingleInstance()) {
        qCritical("tst_App -> the test's private lock is taken");
        return 1;
    }
    tst_App test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app.moc"

#include <QProcess>
#include <QtTest>

// The command-line tool end to end on the simulated camera.
class tst_TalventoUvc : public QObject
{
    Q_OBJECT
private slots:
    void listsTheGrabberControls();
    void commands_data();
    void commands();
};

struct Run
{
    int exitCode;
    QString out;
    QString err;
};

static Run run(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(TALVENTO_UVC_TOOL), args);
    if (!p.waitForFinished(60000)) {
        return { -1, {}, {} };
    }
    return { p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2,
             QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError()) };
}

void tst_TalventoUvc::listsTheGrabberControls()
{
    const Run r = run({ "--simulate" });
    QCOMPARE(r.exitCode, 0);
    const QStringList rows {
        "exposure-time-abs 3 2041 1 166 166 -",  "focus-abs 0 1023 1 0 0 on",
        "zoom-abs 0 60 1 0 0 -",                 "backlight-compensation 0 1 1 0 0 -",
        "brightness -64 64 1 0 0 -",              "contrast 0 95 1 32 32 -",
        "power-line-frequency 0 2 1 0 0 -",      "saturation 0 100 1 52 52 -",
        "sharpness 1 7 1 2 2 -",                  "white-balance-temp 2800 6500 1 4600 4600 on",
    };
    QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    QVERIFY2(lines.size() == rows.size() + 2, qPrintable(r.out));
    QVERIFY(lines[0].startsWith("Talvento Camera Pro  location 0x7a100000"));
    for (int i = 0; i < rows.size(); ++i) {
        QCOMPARE(lines[i + 2].simplified(), rows[i]);
    }
}

void tst_TalventoUvc::commands_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // in stdout on success, in stderr on failure

    QTest::newRow("devices") << QStringList { "--simulate", "devices" } << 0
                             << "Talvento Camera Pro  location 0x7a100000  vendor 0x1209  product 0x7a1c";
    QTest::newRow("read") << QStringList { "--simulate", "get", "saturation" } << 0
                          << "saturation = 52  (minimum 0, maximum 100, step 1, default 52)";
    QTest::newRow("write a fraction") << QStringList { "--simulate", "set", "brightness", "0.75" } << 0
                                      << "brightness = 32";
    QTest::newRow("write maximum") << QStringList { "--simulate", "--device", "0x7a100000", "set", "zoom-abs", "maximum" }
                                   << 0 << "zoom-abs = 60";
    QTest::newRow("invalid value") << QStringList { "--simulate", "set", "brightness", "bright" } << 1
                                   << "talvento-uvc: \"bright\" is not a valid value for \"brightness\"";
    QTest::newRow("refused write") << QStringList { "--simulate", "set", "auto-exposure-mode", "2" } << 1
                                   << "talvento-uvc: Talvento Camera Pro refused the value \"2\" for \"auto-exposure-mode\"";
    QTest::newRow("control the camera lacks") << QStringList { "--simulate", "get", "gain" } << 1
                                              << "talvento-uvc: Talvento Camera Pro has no control \"gain\"";
    QTest::newRow("unknown control") << QStringList { "--simulate", "get", "loudness" } << 1
                                     << "talvento-uvc: unknown control \"loudness\"";
    QTest::newRow("unknown device") << QStringList { "--simulate", "-d", "Webcam", "get", "contrast" } << 1
                                    << "talvento-uvc: no UVC camera matches \"Webcam\"";
    QTest::newRow("missing argument") << QStringList { "--simulate", "set", "contrast" } << 1
                                      << "talvento-uvc: wrong number of arguments for \"set\"";
}

void tst_TalventoUvc::commands()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);

    const Run r = run(args);
    QCOMPARE(r.exitCode, exitCode);
    const QString &where = exitCode == 0 ? r.out : r.err;
    QVERIFY2(where.contains(expected), qPrintable(r.out + r.err));
}

QTEST_GUILESS_MAIN(tst_TalventoUvc)
#include "tst_talventouvc.moc"

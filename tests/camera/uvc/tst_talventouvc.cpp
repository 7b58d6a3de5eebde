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
    void adjustmentsAreSaid_data();
    void adjustmentsAreSaid();
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
        "exposure-time-abs 3 2041 1 166 166 on",  "focus-abs 0 1023 1 0 0 on",
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
    QTest::newRow("mode the camera lacks") << QStringList { "--simulate", "set", "auto-exposure-mode", "2" } << 1
                                           << "talvento-uvc: 2 is not among the modes the camera offers for "
                                              "\"auto-exposure-mode\": 1 (manual), 8 (aperture priority)";
    QTest::newRow("refused write") << QStringList { "--simulate", "set", "auto-exposure-mode", "9" } << 1
                                   << "talvento-uvc: Talvento Camera Pro refused the value \"9\" for \"auto-exposure-mode\"";
    QTest::newRow("mode mask") << QStringList { "--simulate", "get", "auto-exposure-mode" } << 0
                               << "auto-exposure-mode = 8  (modes 1 (manual), 8 (aperture priority), default 8)";

    // What a person types: negative numbers are values, not options; a value is taken whole or
    // refused; what had to be clamped is said.
    QTest::newRow("negative value, read back in the same run")
        << QStringList { "--simulate", "set", "brightness", "-20", "get", "brightness" } << 0
        << "brightness = -20  (minimum -64, maximum 64, step 1, default 0)\n"
           "brightness = -20  (minimum -64, maximum 64, step 1, default 0)\n";
    QTest::newRow("leading zero is decimal") << QStringList { "--simulate", "set", "brightness", "09" } << 0
                                             << "brightness = 9 ";
    QTest::newRow("hexadecimal") << QStringList { "--simulate", "set", "zoom-abs", "0x1f" } << 0 << "zoom-abs = 31 ";
    QTest::newRow("name in capitals") << QStringList { "--simulate", "set", "Brightness", "7" } << 0
                                      << "brightness = 7 ";
    QTest::newRow("trailing junk") << QStringList { "--simulate", "set", "brightness", "5abc" } << 1
                                   << "talvento-uvc: \"5abc\" is not a valid value for \"brightness\": \"5abc\" is not a whole number";
    QTest::newRow("beyond 64 bits") << QStringList { "--simulate", "set", "contrast", "99999999999999999999" } << 1
                                    << "\"99999999999999999999\" is not a whole number";
    QTest::newRow("boolean word") << QStringList { "--simulate", "set", "auto-focus", "off" } << 0
                                  << "auto-focus = false";
    QTest::newRow("not a boolean") << QStringList { "--simulate", "set", "auto-focus", "tomato" } << 1
                                   << "talvento-uvc: \"tomato\" is not a valid value for \"auto-focus\": \"tomato\" is not a boolean";
    QTest::newRow("number as boolean") << QStringList { "--simulate", "set", "auto-focus", "2" } << 1
                                       << ": \"2\" is not a boolean";
    QTest::newRow("fraction beyond the range") << QStringList { "--simulate", "set", "contrast", "1.5" } << 1
                                               << "talvento-uvc: \"1.5\" is not a valid value for \"contrast\": a fraction of the range goes from 0 to 1";
    QTest::newRow("keyword in capitals") << QStringList { "--simulate", "set", "contrast", "Default" } << 0
                                         << "contrast = 32 ";
    QTest::newRow("record for a single value") << QStringList { "--simulate", "set", "contrast", "{12}" } << 0
                                               << "contrast = 12 ";
    QTest::newRow("control the camera lacks") << QStringList { "--simulate", "get", "gain" } << 1
                                              << "talvento-uvc: Talvento Camera Pro has no control \"gain\"";
    QTest::newRow("unknown control") << QStringList { "--simulate", "get", "loudness" } << 1
                                     << "talvento-uvc: unknown control \"loudness\"";
    QTest::newRow("unknown device") << QStringList { "--simulate", "-d", "Webcam", "get", "contrast" } << 1
                                    << "talvento-uvc: no UVC camera matches \"Webcam\"";
    QTest::newRow("missing argument") << QStringList { "--simulate", "set", "contrast" } << 1
                                      << "talvento-uvc: wrong number of arguments for \"set\"";
}

void tst_TalventoUvc::adjustmentsAreSaid_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("note");

    QTest::newRow("above the maximum") << QStringList { "set", "brightness", "100" } << "brightness = 64 "
                                       << "talvento-uvc: brightness: 100 is outside the range -64 to 64; wrote 64";
    QTest::newRow("negative for an unsigned control") << QStringList { "set", "contrast", "-5" } << "contrast = 0 "
                                                      << "talvento-uvc: contrast: -5 is outside the range 0 to 95; wrote 0";
}

void tst_TalventoUvc::adjustmentsAreSaid()
{
    QFETCH(QStringList, args);
    QFETCH(QString, written);
    QFETCH(QString, note);

    const Run r = run(QStringList { "--simulate" } + args);
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains(written), qPrintable(r.out));
    QCOMPARE(r.err.trimmed(), note);
    // A value taken as typed says nothing.
    const Run exact = run({ "--simulate", "set", args[1], "1" });
    QCOMPARE(exact.exitCode, 0);
    QCOMPARE(exact.err, QString());
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

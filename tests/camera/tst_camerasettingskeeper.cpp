#include "camera/camerasettingskeeper.h"

#include <QtTest>

#include <vector>

namespace {

struct Written
{
    int control;
    long value;
    bool autoMode;
    bool operator==(const Written &) const = default;
};

} // namespace

// The keeper's order and bookkeeping, against a camera made of two maps.
class tst_CameraSettingsKeeper : public QObject
{
    Q_OBJECT
private slots:
    void reappliesAutomaticModesFirst();
    void restoresOnlyWhatChanged();
    void reportsAStubbornCameraOnce();
};

void tst_CameraSettingsKeeper::reappliesAutomaticModesFirst()
{
    CameraSettingsKeeper keeper({ "A", "B", "C" });
    keeper.store(0, 10, false);
    keeper.store(1, 0, true);
    keeper.store(2, 30, false);
    keeper.store(0, 11, false); // the newer value wins
    std::vector<Written> written;
    keeper.reapply([&](int c, long v, bool a) { written.push_back({ c, v, a }); return true; },
        "for a test");
    const std::vector<Written> expected { { 1, 0, true }, { 0, 11, false }, { 2, 30, false } };
    QCOMPARE(written.size(), expected.size());
    QVERIFY(written == expected);
}

void tst_CameraSettingsKeeper::restoresOnlyWhatChanged()
{
    CameraSettingsKeeper keeper({ "A", "B", "C" });
    keeper.store(0, 10, false);
    keeper.store(1, 0, true);
    keeper.store(2, 30, false);
    // The camera now: A as stored, B switched to manual, C moved, and a control never stored.
    std::map<int, CameraSetting> camera;
    camera[0] = { 10, 1, 100, 0, 0, false, false };
    camera[1] = { 5, 1, 100, 0, 0, true, false };
    camera[2] = { 31, 1, 100, 0, 0, true, true }; // automatic and another value
    std::vector<Written> written;
    keeper.check([&](int c) { return std::optional(camera.at(c)); },
        [&](int c, long v, bool a) { written.push_back({ c, v, a }); return true; });
    const std::vector<Written> expected { { 1, 0, true }, { 2, 30, false } };
    QVERIFY(written == expected);

    // A camera that does not answer is left alone.
    written.clear();
    keeper.check([](int) { return std::optional<CameraSetting>(); },
        [&](int c, long v, bool a) { written.push_back({ c, v, a }); return true; });
    QVERIFY(written.empty());
}

void tst_CameraSettingsKeeper::reportsAStubbornCameraOnce()
{
    CameraSettingsKeeper keeper({ "Brightness" });
    keeper.store(0, 10, false);
    const CameraSetting moved { 3, 1, 100, 0, 0, false, false };
    auto read = [&](int) { return std::optional(moved); };
    auto refuse = [](int, long, bool) { return false; };
    QTest::ignoreMessage(QtDebugMsg,
        "CameraGrabber -> restored Brightness 10 after the camera changed it to 3 (the camera "
        "refused it)");
    keeper.check(read, refuse);
    int writes = 0;
    keeper.check(read, [&](int, long, bool) { ++writes; return false; }); // no second line
    QCOMPARE(writes, 1); // still tried
}

QTEST_GUILESS_MAIN(tst_CameraSettingsKeeper)
#include "tst_camerasettingskeeper.moc"

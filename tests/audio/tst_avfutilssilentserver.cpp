#include "audio/avfutils.h"

#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace {

/// A unix socket that accepts every connection and never says a word.
class SilentServer
{
public:
    explicit SilentServer(const QString &path)
    {
        m_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        if (m_listener < 0 || size_t(name.size()) >= sizeof address.sun_path)
            return;
        std::copy(name.begin(), name.end(), address.sun_path);
        if (bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
            || listen(m_listener, 16) != 0)
            return;
        m_listening = true;
        m_thread = std::thread([this] {
            for (;;) {
                const int connection = accept(m_listener, nullptr, nullptr);
                if (connection < 0 || m_stopping)
                    break;
                m_held.push_back(connection);   // kept open, never read or written
                ++m_accepted;
            }
        });
    }

    ~SilentServer()
    {
        m_stopping = true;
        shutdown(m_listener, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        for (const int connection : m_held)
            close(connection);
        close(m_listener);
    }

    bool isListening() const { return m_listening; }
    int connections() const { return m_accepted; }

private:
    int m_listener = -1;
    bool m_listening = false;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_accepted{0};
    std::vector<int> m_held;
    std::thread m_thread;
};

} // namespace

/// The device operations against a sound server that accepts and never answers.
class tst_AVFUtilsSilentServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyOperationGivesUp_data();
    void everyOperationGivesUp();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<SilentServer> m_server;
};

void tst_AVFUtilsSilentServer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString path = m_dir.filePath("native");
    m_server = std::make_unique<SilentServer>(path);
    QVERIFY(m_server->isListening());
    // libpulse's own setting: the server to talk to.
    qputenv("PULSE_SERVER", QFile::encodeName("unix:" + path));
}

void tst_AVFUtilsSilentServer::everyOperationGivesUp_data()
{
    QTest::addColumn<std::function<bool()>>("operation");
    float volume = 0.5f;
    bool mute = false;
    QTest::newRow("lookup") << std::function<bool()>([] { return AVFUtils::getAudioDeviceIdByName("Any", true) != 0; });
    QTest::newRow("get volume") << std::function<bool()>([=]() mutable { return AVFUtils::getAudioVolume(1, volume, true); });
    QTest::newRow("set volume") << std::function<bool()>([] { return AVFUtils::setAudioVolume(1, 0.5f, false); });
    QTest::newRow("get mute") << std::function<bool()>([=]() mutable { return AVFUtils::getAudioMute(1, mute, false); });
    QTest::newRow("set mute") << std::function<bool()>([] { return AVFUtils::setAudioMute(1, true, true); });
    QTest::newRow("volume by name") << std::function<bool()>([=]() mutable {
        return AVFUtils::getDeviceVolumeByName("Any", volume, true);
    });
    QTest::newRow("available") << std::function<bool()>([] { return AVFUtils::isDeviceAvailable("Any", false); });
}

void tst_AVFUtilsSilentServer::everyOperationGivesUp()
{
    QFETCH(std::function<bool()>, operation);
    const int before = m_server->connections();
    std::packaged_task<bool()> task(operation);
    std::future<bool> result = task.get_future();
    std::thread caller(std::move(task));
    // Generous: the operations give up after 5 s; libpulse alone would wait 30 s.
    const bool returned = result.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!returned) {
        caller.detach();
        QFAIL("the operation is still waiting for the server");
    }
    caller.join();
    QVERIFY(!result.get());
    QVERIFY(m_server->connections() > before);   // it did reach the silent server
}

QTEST_GUILESS_MAIN(tst_AVFUtilsSilentServer)
#include "tst_avfutilssilentserver.moc"

#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

/// Keeps every log line of the process (from any thread) so a test can check what was logged
/// and in which order; lines still reach the previous handler.
class LogCapture
{
public:
    static void install()
    {
        previousHandler() = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
                {
                    QMutexLocker lock(&mutex());
                    store().append(message);
                }
                previousHandler()(type, context, message);
            });
    }

    /// An unshared copy: a logging thread may grow the store in place once the count of sharers
    /// reads 1, and Qt reads that count without ordering the reader's last access first.
    static QStringList lines()
    {
        QMutexLocker lock(&mutex());
        QStringList copy = store();
        copy.detach();
        return copy;
    }

    static qsizetype size() { return lines().size(); }

    /// Lines logged since the line with index from, that contain text.
    static qsizetype count(const QString &text, qsizetype from = 0)
    {
        const QStringList all = lines();
        qsizetype n = 0;
        for (qsizetype i = from; i < all.size(); ++i)
            n += all[i].contains(text);
        return n;
    }

private:
    static QMutex &mutex()
    {
        static QMutex m;
        return m;
    }
    static QStringList &store()
    {
        static QStringList s;
        return s;
    }
    static QtMessageHandler &previousHandler()
    {
        static QtMessageHandler h = nullptr;
        return h;
    }
};

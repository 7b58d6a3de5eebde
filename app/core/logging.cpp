#include "app/core/logging.h"

#include <QString>

#include <atomic>
#include <cstdio>

namespace {
// The handler that was active before ours. Forwarding to qt_message_output instead would call
// back into the installed handler, i.e. into ourselves, without end.
std::atomic<QtMessageHandler> previousHandler { nullptr };
std::atomic<bool> installed { false };
} // namespace

void customMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QtMessageHandler next = previousHandler.load(std::memory_order_acquire);
    if (next) {
        next(type, context, message);
        return;
    }
    // Only a message logged while the handler is being installed lands here.
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

void installCustomMessageHandler()
{
    if (installed.exchange(true))
        return;
    previousHandler.store(qInstallMessageHandler(customMessageHandler), std::memory_order_release);
}

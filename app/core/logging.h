#pragma once

#include <QtGlobal>

class QMessageLogContext;
class QString;

/// The process's message handler: hands every message on unchanged to the handler that was
/// active before it was installed (Qt's own output unless a test harness replaced it).
void customMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

/// Installs customMessageHandler once; later calls do nothing.
void installCustomMessageHandler();

#pragma once

#include <QString>

#include <cstdio>
#include <unistd.h>

/// Collects what the code under test prints to standard error, so that tests
/// can check the scanner's and parser's warning lines.
class StderrCapture
{
public:
    StderrCapture()
    {
        std::fflush(stderr);
        m_saved = ::dup(2);
        m_file = std::tmpfile();
        ::dup2(::fileno(m_file), 2);
    }
    ~StderrCapture() { restore(); }

    /// Stops capturing and returns everything printed since construction.
    QString text()
    {
        restore();
        QByteArray bytes;
        std::rewind(m_file);
        char chunk[512];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, m_file)) > 0) {
            bytes.append(chunk, qsizetype(n));
        }
        return QString::fromUtf8(bytes);
    }

private:
    void restore()
    {
        if (m_saved >= 0) {
            std::fflush(stderr);
            ::dup2(m_saved, 2);
            ::close(m_saved);
            m_saved = -1;
        }
    }

    int m_saved = -1;
    FILE *m_file = nullptr;
};

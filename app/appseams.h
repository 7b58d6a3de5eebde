#pragma once

#include <QString>
#include <QUrl>

/// What a run of the application under test replaces. A test cannot click message boxes, must not
/// feed or watch the user's own virtual camera, must never reach the real update host and runs the
/// privileged runner of its build tree. The shipped entry point passes the defaults, which change
/// nothing; a test entry point fills them in.
struct AppSeams
{
    enum class Answer { None, Yes, No };
    /// Every message box is answered as soon as it opens: with its yes button, or with its no
    /// button (the yes button when it has none).
    Answer answerMessages = Answer::None;
    /// The shared-memory camera's segment, "/name"; empty for the user's own.
    QString vcamSegment;
    /// Where the update manifest is fetched from; empty for the build's update host.
    QUrl updateManifestUrl;
    /// A PEM file of certificate authorities trusted for update downloads besides the system's.
    QString updateCaCertificates;
    /// The program that elevates an update's install (pkexec when empty), and the privileged
    /// runner it runs (the installed one when empty).
    QString updateElevator;
    QString updateRunner;
    /// The installation the application restarts into after an update was installed; empty for
    /// the real one.
    QString installationFolder;
};

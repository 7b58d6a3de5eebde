#pragma once

#include <QString>

/// Where installing the virtual camera device acts. The application acts on the machine itself;
/// tests hand in a stand-in with the same layout (the module script's --system folder: sys/,
/// proc/modules, etc/, its tools in bin/) and the program that grants administrator rights.
namespace cameraextension {

struct System
{
    /// Empty: the machine's own /sys, /proc, /etc and tools.
    QString standIn;
    /// With a stand-in: the program that grants administrator rights (empty runs directly).
    QString elevator;
    /// With a stand-in: the privileged runner to use instead of the installed one.
    QString runner;
};

void setSystem(const System &system);

/// The v4l2loopback node labelled "Talvento Control" ("/dev/videoN"), or "" when there is none.
QString ourLoopbackNode();

/// True when the v4l2loopback module is loaded without a node of ours: another program's
/// devices, which we leave alone and rely on the PipeWire camera instead.
bool otherLoopbackLoaded();

} // namespace cameraextension

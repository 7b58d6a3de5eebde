// The application as tests start it: the same App as the shipped executable, with the seams a test
// run needs filled from options that only this build knows, taken off the command line before App
// reads it. Without an update address the manager is pointed at a closed loopback port, so a test
// run never reaches the real update host.
//
//   --answer-messages yes|no   --vcam-segment /name   --update-manifest URL   --update-ca FILE
//   --update-elevator PROGRAM   --update-runner PATH   --installation-folder DIR

#include "app/app.h"
#include "app/appseams.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

AppSeams takeSeams(int &argc, char **argv)
{
    AppSeams seams;
    seams.updateManifestUrl = QUrl(QStringLiteral("https://127.0.0.1:9/TalventoControl/update_manifest.json"));
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const char *option = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        const auto is = [option](const char *name) { return std::strcmp(option, name) == 0; };
        if (value && is("--answer-messages")) {
            seams.answerMessages = std::strcmp(value, "no") == 0 ? AppSeams::Answer::No : AppSeams::Answer::Yes;
        } else if (value && is("--vcam-segment")) {
            seams.vcamSegment = QString::fromLocal8Bit(value);
        } else if (value && is("--update-manifest")) {
            seams.updateManifestUrl = QUrl(QString::fromLocal8Bit(value));
        } else if (value && is("--update-ca")) {
            seams.updateCaCertificates = QString::fromLocal8Bit(value);
        } else if (value && is("--update-elevator")) {
            seams.updateElevator = QString::fromLocal8Bit(value);
        } else if (value && is("--update-runner")) {
            seams.updateRunner = QString::fromLocal8Bit(value);
        } else if (value && is("--installation-folder")) {
            seams.installationFolder = QString::fromLocal8Bit(value);
        } else {
            argv[kept++] = argv[i];
            continue;
        }
        ++i; // the value
    }
    argc = kept;
    argv[argc] = nullptr;
    return seams;
}

} // namespace

int main(int argc, char *argv[])
{
    const AppSeams seams = takeSeams(argc, argv);
    auto app = std::make_shared<App>(argc, argv, QApplication::ApplicationFlags, seams);
    return runApplication(app);
}

#pragma once

#include "gui/wizardplatform.h"

#include <memory>

/// The setup wizard's view of this desktop: Qt's permission API where Qt has
/// one, the privileged installs of the system integration, the virtual camera
/// and audio devices.
std::shared_ptr<WizardPlatform> createDesktopWizardPlatform();

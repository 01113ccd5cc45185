// The step that installs one detected chain file.
#pragma once

#include <string>

#include "detection/detection.h"
#include "installer/installer_controls.h"

namespace quor::installer {

// Reports the verdict of detection for the file `name` and, unless it is already installed,
// adds every certificate of the file to the user's stores (the store for each is chosen by
// the repository: roots, other authorities, end entities). A chain's certificates are added in
// list order, lowest first. Adding a certificate the store already holds is not an error.
// Exceptions of the repository pass through; certificates added before stay in the stores.
void installChainStep(const int& progress, InstallerControls& controls, const std::wstring& name,
                      detection::ChainOrCertificate& item, detection::CertValidation& validation);

}  // namespace quor::installer

// The install run: what the user starts the program for.
#pragma once

#include <string>

#include "installer/installer_controls.h"

namespace quor::installer {

// Downloads the chain list from chainBaseUrl, then each chain file it names, hands each to
// chain detection with installChainStep, and reports every stage on the controls. Runs to
// completion on the calling thread. Never throws: any failure ends the run with the bar at 100
// and one error line ("Não foi possível efetuar instalação de cadeias. Erro: " + the error's
// text). Certificates added before a failure stay installed; later entries are not processed.
void installChains(InstallerControls& controls);

// The same run against another download folder (baseUrl must end with "/"); used by the
// terminal front end, the demo and the tests.
void installChains(InstallerControls& controls, const std::wstring& baseUrl);

}  // namespace quor::installer

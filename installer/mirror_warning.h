// The warning an install run ends with when some of the user's other programs could not get the
// installed certificates (their NSS database was locked or read-only).
#pragma once

#include <string>

#include "platform/nss_mirror.h"

namespace quor::installer {

// mirrorWarning: Portuguese text naming each program whose database could not be written and
// asking the user to close it and press the button again; empty when every database was written.
std::wstring mirrorWarning(const platform::MirrorReport& report);

// MirrorCheck: gathers the mirror reports of the run made while it lives; finish() then brings
// every database up to date (so that pressing the button again after closing the program copies
// what an earlier run could not) and returns the warning for what is still missing. The run's
// own changes are not copied one by one meanwhile: that final copy covers them, and each
// database is opened once.
class MirrorCheck {
  public:
    std::wstring finish();

  private:
    platform::MirrorReportScope scope_;
    platform::MirrorBatch batch_;
};

}  // namespace quor::installer

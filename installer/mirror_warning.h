// The warning an install run ends with when some of the user's other programs could not get the
// installed certificates (their NSS database was locked or read-only).
#pragma once

#include <string>

#include "platform/nss_mirror.h"

namespace quor::installer {

// How the run ended: with its success line, or with its error line (certificates added before
// the error stay installed).
enum class RunOutcome { Installed, Failed };

// The outcome of a run from the last line it wrote to the log.
RunOutcome runOutcomeOf(const std::wstring& lastLogLine);

// Where the warning is shown, which decides what the user is asked to do next.
enum class WarningFront {
    Dialog,   // press the button "Instalar cadeias" again
    Terminal  // run quor-certs sync
};

// mirrorWarning: Portuguese text naming each database that could not be written and why (in use
// by another program, or protected against writing), with what to do about it; a database NSS
// failed on otherwise is named apart, without asking to close anything. Its first words fit the
// outcome of the run. Empty when every database was written. Certificates NSS cannot hold
// (MirrorReport::unsupported) never give a warning: nothing the user does would change that.
std::wstring mirrorWarning(const platform::MirrorReport& report, RunOutcome outcome,
                           WarningFront front);

// MirrorCheck: gathers the mirror reports of the run made while it lives; finish() then brings
// every database up to date (so that repeating the run after closing the program copies what an
// earlier run could not) and returns the report of that (what is still missing), with the
// certificates this run added that NSS cannot hold at all. The run's own changes are not copied
// one by one meanwhile: that final copy covers them, and each database is opened once.
class MirrorCheck {
  public:
    platform::MirrorReport finish();

  private:
    platform::MirrorReportScope scope_;
    platform::MirrorBatch batch_;
};

}  // namespace quor::installer

// The log and progress protocol of the install run.
//
// The run reports to two controls: a one-line log that always shows the latest status text,
// and a progress bar that runs from 0 to 100. Both are reached through small interfaces so
// the same run drives the Qt dialog, the terminal front end and the tests.
#pragma once

#include <string>

namespace quor::installer {

// The one-line log. Every text replaces the whole line: it is a status, not a history.
class LogControl {
  public:
    virtual ~LogControl() = default;
    virtual void replaceText(const std::wstring& text) = 0;
};

// The progress bar, range 0 to 100.
class ProgressControl {
  public:
    virtual ~ProgressControl() = default;
    virtual void setPosition(int value) = 0;
};

// The two controls one run writes to. Neither is owned; either may be null, and a null
// control ignores what is sent to it.
struct InstallerControls {
    LogControl* logEdit = nullptr;
    ProgressControl* progressBar = nullptr;
};

// writeLog replaces the log line with text (a null text empties it). Whatever the lengths of
// the old and the new text, nothing of the old one stays behind.
void writeLog(InstallerControls& controls, const wchar_t* text);

// setProgress moves the bar to value.
void setProgress(InstallerControls& controls, int value);

}  // namespace quor::installer

// The run's two controls over Qt widgets.
//
// The run works on the GUI thread, so nothing repaints on its own while it runs; each update
// paints its widget at once and lets the window system take the new picture (paint and other
// non-input events only: a click made meanwhile waits until the run is over).
#pragma once

#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>

#include "installer/installer_controls.h"

namespace quor::installer {

class LineEditLog : public LogControl {
  public:
    explicit LineEditLog(QLineEdit* edit) : edit_(edit) {}
    void replaceText(const std::wstring& text) override;

  private:
    QPointer<QLineEdit> edit_;
};

class ProgressBarControl : public ProgressControl {
  public:
    explicit ProgressBarControl(QProgressBar* bar) : bar_(bar) {}
    void setPosition(int value) override;

  private:
    QPointer<QProgressBar> bar_;
};

}  // namespace quor::installer

#include "installer/qt_controls.h"

#include <QCoreApplication>
#include <QEventLoop>

namespace quor::installer {

namespace {
void showNow(QWidget* widget) {
    widget->repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}
}  // namespace

void LineEditLog::replaceText(const std::wstring& text) {
    if (edit_.isNull())
        return;
    const QString line = QString::fromStdWString(text);
    edit_->setText(line);
    // A line wider than the control shows its beginning; the whole text is in the tool tip.
    edit_->setCursorPosition(0);
    edit_->setToolTip(line);
    showNow(edit_);
}

void ProgressBarControl::setPosition(int value) {
    if (bar_.isNull())
        return;
    bar_->setValue(value);
    showNow(bar_);
}

}  // namespace quor::installer

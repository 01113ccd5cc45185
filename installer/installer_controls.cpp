#include "installer/installer_controls.h"

namespace quor::installer {

void writeLog(InstallerControls& controls, const wchar_t* text) {
    if (controls.logEdit == nullptr)
        return;
    controls.logEdit->replaceText(text == nullptr ? std::wstring() : std::wstring(text));
}

void setProgress(InstallerControls& controls, int value) {
    if (controls.progressBar == nullptr)
        return;
    controls.progressBar->setPosition(value);
}

}  // namespace quor::installer

// quor-chain-installer: the dialog that installs the ICP-Brasil chains of the download server.
#include <QApplication>

#include "installer/chain_list.h"
#include "installer/installer_dialog.h"
#include "platform/nss_mirror.h"

int main(int argc, char* argv[]) {
    quor::platform::skipNssFileSystemTiming();
    QApplication app(argc, argv);
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Instalador de cadeias Quorsa"));
    QGuiApplication::setDesktopFileName(QStringLiteral("quor-chain-installer"));
    QApplication::setApplicationVersion(QStringLiteral("1.2.0.2"));

    quor::installer::InstallerDialog dialog(quor::installer::chainBaseUrl);
    dialog.show();
    // Closing the dialog closes the last window, which ends the loop with 0.
    return QApplication::exec();
}

// Takes pictures of the installer dialog as the X server shows it (run under Xvfb by
// scripts/screenshot.sh): after a successful run over the sample download folder and after a
// run against a server that cannot be reached. Roots are approved as a user clicking "Sim"; the
// first root question (an official root) and one for a generated root are pictured too.
//
// Usage: installer_screenshot OUTPUT_FOLDER
#include <QApplication>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <filesystem>

#include "installer/installer_dialog.h"
#include "installer/root_confirmation_dialog.h"
#include "platform/cert_info.h"
#include "tests/installer/installer_test_support.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

using namespace quor::installer;

namespace {

bool shoot(InstallerDialog& dialog, const QString& file) {
    dialog.show();
    if (!QTest::qWaitForWindowExposed(&dialog))
        return false;
    QTest::mouseClick(dialog.installButton(), Qt::LeftButton);
    QTest::qWait(300);
    const QPixmap picture = dialog.screen()->grabWindow(dialog.winId());
    dialog.hide();
    return picture.save(file, "PNG");
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: installer_screenshot OUTPUT_FOLDER\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    quor::test::ScopedDataHome home;

    // Approve each root question as it opens.
    QTimer answer;
    answer.setInterval(20);
    bool shotQuestion = false;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* root = qobject_cast<RootConfirmationDialog*>(QApplication::activeModalWidget())) {
            if (!shotQuestion) {
                QTest::qWait(200);
                shotQuestion =
                    root->screen()
                        ->grabWindow(root->winId())
                        .save(out + QStringLiteral("/root-question-official.png"), "PNG");
            }
            QTest::mouseClick(root->yesButton(), Qt::LeftButton);
        }
    });
    answer.start();

    test::DownloadFolder folder;
    folder.putAll(std::filesystem::path(QUOR_SOURCE_DIR) / "examples" / "repository");
    InstallerDialog good(folder.baseUrl());
    const bool shotGood = shoot(good, out + QStringLiteral("/installer-success.png"));

    std::uint16_t closedPort = 0;
    {
        quor::test::HttpServer gone;
        closedPort = gone.port();
    }
    InstallerDialog bad(QStringLiteral("http://127.0.0.1:%1/DEZIruva/certificados/")
                            .arg(closedPort)
                            .toStdWString());
    const bool shotBad = shoot(bad, out + QStringLiteral("/installer-failure.png"));
    // The question for a root the program does not know (left open: nobody answers it).
    answer.stop();
    const quor::test::TestCert generated =
        quor::test::CertBuilder(quor::test::Name::cn("Raiz Gerada")).ca().selfSigned();
    const std::vector<unsigned char> der = generated.derBytes();
    RootConfirmationDialog other(
        quor::platform::detail::makeRootAddRequest(der, *quor::platform::detail::readCertInfo(der)),
        nullptr);
    other.show();
    bool shotOther = QTest::qWaitForWindowExposed(&other);
    QTest::qWait(200);
    shotOther = shotOther && other.screen()
                                 ->grabWindow(other.winId())
                                 .save(out + QStringLiteral("/root-question-other.png"), "PNG");
    if (!shotGood || !shotBad || !shotQuestion || !shotOther) {
        std::fprintf(stderr, "installer_screenshot: could not take the pictures\n");
        return 1;
    }
    return 0;
}

// The installer dialog driven as a user would: clicks on a real (offscreen) dialog, a loopback
// download folder, the real store in a temporary data home, and the question dialogs answered
// by clicking their buttons.
#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "installer/installer_dialog.h"
#include "installer/proxy_credentials_dialog.h"
#include "installer/qt_controls.h"
#include "installer/root_confirmation_dialog.h"
#include "platform/cert_info.h"
#include "signer/model/certificate.h"
#include "tests/installer/installer_test_support.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

using namespace quor::installer;

namespace {

const QString kSuccess = QStringLiteral("Instalação de cadeias concluída com sucesso.");
const QString kErrorPrefix =
    QStringLiteral("Não foi possível efetuar instalação de cadeias. Erro: ");

// Answers every modal dialog that opens while it lives with `answer`, as a user clicking.
class ModalAnswerer {
  public:
    explicit ModalAnswerer(std::function<void(QWidget*)> answer) : answer_(std::move(answer)) {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            // Dialogs are often made at the same address one after another: mark the answered
            // one rather than remembering where it was.
            if (modal != nullptr && !modal->property("answered").toBool()) {
                modal->setProperty("answered", true);
                ++answered;
                answer_(modal);
            }
        });
        timer_.start();
    }
    int answered = 0;

  private:
    std::function<void(QWidget*)> answer_;
    QTimer timer_;
};

// The question the store would ask before adding this DER certificate to "ROOT".
quor::platform::RootAddRequest rootRequest(const std::vector<unsigned char>& der) {
    const auto info = quor::platform::detail::readCertInfo(der);
    if (!info)
        throw std::runtime_error("not a certificate");
    return quor::platform::detail::makeRootAddRequest(der, *info);
}

quor::platform::RootAddRequest fixtureRootRequest(const char* name) {
    std::ifstream in(std::filesystem::path(QUOR_SOURCE_DIR) / "tests" / "fixtures" / "icp-brasil" /
                     name);
    std::ostringstream pem;
    pem << in.rdbuf();
    return rootRequest(quor::signer::Certificate(pem.str()).getEncoded());
}

void clickRoot(QWidget* modal, bool yes) {
    auto* dialog = qobject_cast<RootConfirmationDialog*>(modal);
    QVERIFY(dialog != nullptr);
    QTest::mouseClick(yes ? dialog->yesButton() : dialog->noButton(), Qt::LeftButton);
}

}  // namespace

class InstallerDialogTest : public QObject {
    Q_OBJECT

  private slots:
    void showsTheInstallerFace() {
        InstallerDialog dialog(L"http://127.0.0.1:1/DEZIruva/certificados/");
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Instalador de cadeias Quorsa"));
        QCOMPARE(dialog.installButton()->text(), QStringLiteral("Instalar cadeias"));
        QVERIFY(dialog.installButton()->isDefault());
        QVERIFY(dialog.logEdit()->isReadOnly());
        QVERIFY(dialog.logEdit()->text().isEmpty());
        QCOMPARE(dialog.progressBar()->minimum(), 0);
        QCOMPARE(dialog.progressBar()->maximum(), 100);
        QCOMPARE(dialog.progressBar()->value(), 0);
        const auto labels = dialog.findChildren<QLabel*>();
        QCOMPARE(labels.size(), 1);
        QCOMPARE(labels.first()->text(), QStringLiteral("v. 1.2.0.2"));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        QVERIFY(dialog.windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(dialog.windowFlags() & Qt::WindowCloseButtonHint);
        QVERIFY(!(dialog.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(dialog.palette().color(QPalette::Window), QColor(Qt::white));
        // Every control lies inside the dialog, in the order of the layout: button, log, bar,
        // version label from top to bottom.
        const QRect inside = dialog.rect();
        QVERIFY(inside.contains(dialog.installButton()->geometry()));
        QVERIFY(inside.contains(dialog.logEdit()->geometry()));
        QVERIFY(inside.contains(dialog.progressBar()->geometry()));
        QVERIFY(inside.contains(labels.first()->geometry()));
        QVERIFY(dialog.installButton()->geometry().bottom() < dialog.logEdit()->geometry().top());
        QVERIFY(dialog.logEdit()->geometry().bottom() <= dialog.progressBar()->geometry().top());
        QVERIFY(dialog.progressBar()->geometry().bottom() < labels.first()->geometry().top());
    }

    void clickInstallsAndEverySecondClickRunsAgain() {
        quor::test::ScopedDataHome home;
        test::DownloadFolder folder;
        folder.putAll(std::filesystem::path(QUOR_SOURCE_DIR) / "examples" / "repository");
        InstallerDialog dialog(folder.baseUrl());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QSignalSpy texts(dialog.logEdit(), &QLineEdit::textChanged);
        QSignalSpy positions(dialog.progressBar(), &QProgressBar::valueChanged);

        {
            ModalAnswerer approve([](QWidget* modal) { clickRoot(modal, true); });
            QTest::mouseClick(dialog.installButton(), Qt::LeftButton);
            QCOMPARE(approve.answered, 2);  // the two roots of the sample folder
        }
        QCOMPARE(dialog.logEdit()->text(), kSuccess);
        QCOMPARE(dialog.progressBar()->value(), 100);
        QCOMPARE(texts.first().first().toString(),
                 QStringLiteral("Baixando arquivo de configuração..."));
        QVERIFY(texts.contains(
            QVariantList{QStringLiteral("Instalando cadeia em AC-PRODESP-RFB-v1.p7b.")}));
        QCOMPARE(positions.first().first().toInt(), 5);
        QCOMPARE(test::storeContents().at("ROOT").size(), 2u);

        texts.clear();
        positions.clear();
        ModalAnswerer none([](QWidget*) {});
        QTest::mouseClick(dialog.installButton(), Qt::LeftButton);
        QCOMPARE(none.answered, 0);
        QCOMPARE(dialog.logEdit()->text(), kSuccess);
        QCOMPARE(dialog.progressBar()->value(), 100);
        QVERIFY(texts.contains(
            QVariantList{QStringLiteral("Cadeia em ICP-Brasilv10.crt já está instalada.")}));
        // The bar left at 100 by the first run goes back to 5 when the second has its list.
        QCOMPARE(positions.first().first().toInt(), 5);
    }

    void refusingARootEndsTheRunWithItsErrorLine() {
        quor::test::ScopedDataHome home;
        test::DownloadFolder folder;
        folder.putAll(std::filesystem::path(QUOR_SOURCE_DIR) / "examples" / "repository");
        InstallerDialog dialog(folder.baseUrl());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        ModalAnswerer refuse([](QWidget* modal) { clickRoot(modal, false); });
        QTest::mouseClick(dialog.installButton(), Qt::LeftButton);
        QCOMPARE(refuse.answered, 1);
        QVERIFY2(dialog.logEdit()->text().startsWith(kErrorPrefix),
                 qPrintable(dialog.logEdit()->text()));
        QVERIFY(dialog.logEdit()->text().contains(QStringLiteral("canceled by the user")));
        QCOMPARE(dialog.progressBar()->value(), 100);
        QVERIFY(test::storeContents().count("ROOT") == 0);
    }

    // The question says whether the program knows the root; Enter (the default) declines.
    void rootQuestionSaysWhetherTheRootIsOfficial() {
        const quor::test::TestCert generated =
            quor::test::CertBuilder(
                quor::test::Name{{"CN", "Autoridade Certificadora Raiz Brasileira v10"}})
                .ca()
                .selfSigned();
        struct Case {
            const char* what;
            quor::platform::RootAddRequest request;
            QString origin;
            bool official;
        };
        const Case cases[] = {
            {"official", fixtureRootRequest("ICP-Brasilv10.crt"),
             QStringLiteral(
                 "Raiz oficial da ICP-Brasil v10: a impressão digital confere com a publicada "
                 "pelo ITI."),
             true},
            {"official, expired", fixtureRootRequest("ICP-Brasilv1.crt"),
             QStringLiteral("Raiz oficial da ICP-Brasil v1: a impressão digital confere com a "
                            "publicada pelo ITI. Esta raiz expirou em 29/07/2021 19:17:10 UTC"),
             true},
            {"generated with an official name", rootRequest(generated.derBytes()),
             QStringLiteral("Cuidado: este certificado não é uma raiz oficial da ICP-Brasil."),
             false},
        };
        for (const Case& c : cases) {
            QWidget owner;
            DialogPrompts prompts(&owner);
            for (const bool clickYes : {false, true}) {
                QString shown;
                bool noIsDefault = false;
                ModalAnswerer answer([&](QWidget* modal) {
                    auto* dialog = qobject_cast<RootConfirmationDialog*>(modal);
                    QVERIFY(dialog != nullptr);
                    shown = dialog->originLabel()->text();
                    noIsDefault = dialog->noButton()->isDefault();
                    if (clickYes) {
                        QTest::mouseClick(dialog->yesButton(), Qt::LeftButton);
                    } else {
                        // Where a user's key goes: the widget that has the focus.
                        QWidget* focused = QApplication::focusWidget();
                        QTest::keyClick(focused != nullptr ? focused : dialog, Qt::Key_Return);
                    }
                });
                const bool accepted = prompts.confirmRootCertificate(c.request);
                QCOMPARE(answer.answered, 1);
                QVERIFY2(shown.startsWith(c.origin), qPrintable(QString(c.what) + ": " + shown));
                QCOMPARE(accepted, clickYes);
                QVERIFY2(noIsDefault, c.what);
                if (c.official)
                    QVERIFY(!shown.contains(QStringLiteral("não é uma raiz oficial")));
            }
        }
    }

    void unreachableServerShowsTheErrorAtOnce() {
        quor::test::ScopedDataHome home;
        std::uint16_t port = 0;
        {
            quor::test::HttpServer gone;
            port = gone.port();
        }
        const QString base = QStringLiteral("http://127.0.0.1:%1/DEZIruva/certificados/").arg(port);
        InstallerDialog dialog(base.toStdWString());
        dialog.show();
        QSignalSpy texts(dialog.logEdit(), &QLineEdit::textChanged);
        QTest::mouseClick(dialog.installButton(), Qt::LeftButton);
        QCOMPARE(texts.size(), 1);
        QCOMPARE(dialog.logEdit()->text(),
                 kErrorPrefix + QStringLiteral("127.0.0.1:%1/DEZIruva/certificados/Chains.xml: "
                                               "Unreachable")
                                    .arg(port));
        QCOMPARE(dialog.progressBar()->value(), 100);
    }

    void aShortTextReplacesALongOneWhole() {
        QLineEdit edit;
        LineEditLog log(&edit);
        InstallerControls controls{&log, nullptr};
        const std::wstring longText(1500, L'x');
        writeLog(controls, longText.c_str());
        QCOMPARE(edit.text().size(), 1500);
        writeLog(controls, L"curto");
        QCOMPARE(edit.text(), QStringLiteral("curto"));
        writeLog(controls, nullptr);
        QVERIFY(edit.text().isEmpty());
    }

    void proxyQuestionGivesTheTypedCredentialsOrNothing() {
        QWidget owner;
        DialogPrompts prompts(&owner);
        const quor::net::ProxyCredentialsRequest request{"http://127.0.0.1:3128",
                                                         "127.0.0.1:80/Chains.xml", 1};
        {
            ModalAnswerer type([](QWidget* modal) {
                auto* dialog = qobject_cast<ProxyCredentialsDialog*>(modal);
                QVERIFY(dialog != nullptr);
                QCOMPARE(dialog->passwordEdit()->echoMode(), QLineEdit::Password);
                // Typed keys are ASCII only in QTest; the accented name goes in as pasted text.
                dialog->userEdit()->insert(QStringLiteral("usuário"));
                QTest::keyClicks(dialog->passwordEdit(), QStringLiteral("s3nh@"));
                auto* box = dialog->findChild<QDialogButtonBox*>();
                QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
            });
            const auto credentials = prompts.askProxyCredentials(request);
            QVERIFY(credentials.has_value());
            QCOMPARE(QString::fromStdString(credentials->user), QStringLiteral("usuário"));
            QCOMPARE(QString::fromStdString(credentials->password), QStringLiteral("s3nh@"));
        }
        {
            ModalAnswerer cancel([](QWidget* modal) {
                auto* box = modal->findChild<QDialogButtonBox*>();
                QVERIFY(box != nullptr);
                QTest::mouseClick(box->button(QDialogButtonBox::Cancel), Qt::LeftButton);
            });
            QVERIFY(!prompts.askProxyCredentials(request).has_value());
        }
    }
};

QTEST_MAIN(InstallerDialogTest)
#include "installer_dialog_test.moc"

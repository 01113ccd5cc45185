#include "installer/installer_dialog.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRect>
#include <QScreen>

#include "installer/install_run.h"
#include "installer/mirror_warning.h"
#include "installer/proxy_credentials_dialog.h"
#include "installer/root_confirmation_dialog.h"

namespace quor::installer {

namespace {

// Layout in dialog units: a quarter of the dialog font's average character width across, an
// eighth of its height down, so the dialog keeps its proportions at any font size.
struct DialogUnits {
    explicit DialogUnits(const QFont& font) {
        const QFontMetrics metrics(font);
        const QString letters =
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        baseX = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
        baseY = metrics.height();
    }
    int x(int units) const { return (units * baseX + 2) / 4; }
    int y(int units) const { return (units * baseY + 4) / 8; }
    QRect rect(int left, int top, int width, int height) const {
        return QRect(x(left), y(top), x(width), y(height));
    }
    int baseX;
    int baseY;
};

constexpr int kWidthUnits = 279;
constexpr int kHeightUnits = 85;

}  // namespace

InstallerDialog::InstallerDialog(std::wstring baseUrl, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      baseUrl_(std::move(baseUrl)),
      installButton_(new QPushButton(QStringLiteral("Instalar cadeias"), this)),
      progressBar_(new QProgressBar(this)),
      logEdit_(new QLineEdit(this)),
      versionLabel_(new QLabel(QStringLiteral("v. 1.2.0.2"), this)),
      log_(logEdit_),
      progress_(progressBar_),
      prompts_(this) {
    setWindowTitle(QStringLiteral("Instalador de cadeias Quorsa"));

    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);

    installButton_->setDefault(true);
    installButton_->setAutoDefault(true);

    progressBar_->setRange(0, 100);
    progressBar_->setValue(0);
    progressBar_->setTextVisible(false);
    progressBar_->setFocusPolicy(Qt::NoFocus);

    // The log is a status line: read-only, borderless, on the dialog's own background.
    logEdit_->setReadOnly(true);
    logEdit_->setFrame(false);
    QPalette logPalette = logEdit_->palette();
    logPalette.setColor(QPalette::Base, Qt::white);
    logEdit_->setPalette(logPalette);

    versionLabel_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    setTabOrder(installButton_, logEdit_);
    placeControls();
    installButton_->setFocus();

    connect(installButton_, &QPushButton::clicked, this, &InstallerDialog::installClicked);
    promptRegistration_ = std::make_unique<ScopedInstallerPrompts>(prompts_);
}

InstallerDialog::~InstallerDialog() = default;

void InstallerDialog::placeControls() {
    const DialogUnits units(font());
    installButton_->setGeometry(units.rect(103, 14, 76, 13));
    progressBar_->setGeometry(units.rect(13, 47, 252, 15));
    logEdit_->setGeometry(units.rect(17, 33, 244, 12));
    // Wide enough for the label's text whatever the font makes of it.
    QRect label = units.rect(231, 65, 37, 8);
    const QFontMetrics metrics(versionLabel_->font());
    label.setWidth(std::max(label.width(), metrics.horizontalAdvance(versionLabel_->text()) + 2));
    label.setHeight(std::max(label.height(), metrics.height()));
    versionLabel_->setGeometry(label);
    setFixedSize(units.x(kWidthUnits), units.y(kHeightUnits));
}

void InstallerDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (centred_)
        return;
    centred_ = true;
    QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

void InstallerDialog::installClicked() {
    // Each click is a fresh run over whatever the controls show now.
    InstallerControls controls{&log_, &progress_};
    MirrorCheck mirrors;
    installChains(controls, baseUrl_);
    // The user's other programs read their own certificate databases: say which one missed the
    // certificates (the log line stays the run's own).
    const std::wstring warning =
        mirrorWarning(mirrors.finish(), runOutcomeOf(logEdit_->text().toStdWString()),
                      WarningFront::Dialog);
    if (!warning.empty()) {
        QMessageBox::warning(this, windowTitle(), QString::fromStdWString(warning));
    }
}

std::optional<net::ProxyCredentials> DialogPrompts::askProxyCredentials(
    const net::ProxyCredentialsRequest& request) {
    ProxyCredentialsDialog dialog(request, owner_);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.credentials();
}

bool DialogPrompts::confirmRootCertificate(const platform::RootAddRequest& request) {
    RootConfirmationDialog dialog(request, owner_);
    return dialog.exec() == QDialog::Accepted;
}

}  // namespace quor::installer

// The installer's one dialog: the button "Instalar cadeias", the one-line log, the progress bar
// and the version label on a white background.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "installer/installer_prompts.h"
#include "installer/qt_controls.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace quor::installer {

// Asks the run's questions with dialogs owned by the installer dialog.
class DialogPrompts : public InstallerPrompts {
  public:
    explicit DialogPrompts(QWidget* owner) : owner_(owner) {}
    std::optional<net::ProxyCredentials> askProxyCredentials(
        const net::ProxyCredentialsRequest& request) override;
    bool confirmRootCertificate(const platform::RootAddRequest& request) override;

  private:
    QWidget* owner_;
};

class InstallerDialog : public QDialog {
    Q_OBJECT

  public:
    // baseUrl: the download folder the button installs from (the program passes chainBaseUrl).
    // While the dialog lives, proxy and root-store questions of the lower layers are asked by
    // its own dialogs.
    explicit InstallerDialog(std::wstring baseUrl, QWidget* parent = nullptr);
    ~InstallerDialog() override;

    QPushButton* installButton() const { return installButton_; }
    QLineEdit* logEdit() const { return logEdit_; }
    QProgressBar* progressBar() const { return progressBar_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private slots:
    void installClicked();

  private:
    void placeControls();

    std::wstring baseUrl_;
    QPushButton* installButton_;
    QProgressBar* progressBar_;
    QLineEdit* logEdit_;
    QLabel* versionLabel_;
    LineEditLog log_;
    ProgressBarControl progress_;
    DialogPrompts prompts_;
    std::unique_ptr<ScopedInstallerPrompts> promptRegistration_;
    bool centred_ = false;
};

}  // namespace quor::installer

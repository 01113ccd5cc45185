// Asks for the user and password a proxy demands before it lets a download through.
#pragma once

#include <QDialog>

#include "net/proxy_credentials.h"

class QLineEdit;

namespace quor::installer {

class ProxyCredentialsDialog : public QDialog {
    Q_OBJECT

  public:
    ProxyCredentialsDialog(const net::ProxyCredentialsRequest& request, QWidget* parent);

    // What was typed (UTF-8).
    net::ProxyCredentials credentials() const;

    QLineEdit* userEdit() const { return user_; }
    QLineEdit* passwordEdit() const { return password_; }

  private:
    QLineEdit* user_;
    QLineEdit* password_;
};

}  // namespace quor::installer

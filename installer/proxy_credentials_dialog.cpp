#include "installer/proxy_credentials_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quor::installer {

ProxyCredentialsDialog::ProxyCredentialsDialog(const net::ProxyCredentialsRequest& request,
                                               QWidget* parent)
    : QDialog(parent), user_(new QLineEdit(this)), password_(new QLineEdit(this)) {
    setWindowTitle(QStringLiteral("Autenticação no proxy"));
    setModal(true);

    QString text =
        QStringLiteral("O servidor proxy %1 pede usuário e senha para baixar %2.")
            .arg(QString::fromStdString(request.proxy), QString::fromStdString(request.target));
    if (request.attempt > 1) {
        text = QStringLiteral("O proxy recusou o usuário ou a senha. Tente novamente.\n\n") + text;
    }
    auto* message = new QLabel(text, this);
    message->setWordWrap(true);

    user_->setObjectName(QStringLiteral("user"));
    password_->setObjectName(QStringLiteral("password"));
    password_->setEchoMode(QLineEdit::Password);

    auto* fields = new QFormLayout;
    fields->addRow(QStringLiteral("Usuário:"), user_);
    fields->addRow(QStringLiteral("Senha:"), password_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Cancelar"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(message);
    layout->addLayout(fields);
    layout->addWidget(buttons);
    setMinimumWidth(360);
    user_->setFocus();
}

net::ProxyCredentials ProxyCredentialsDialog::credentials() const {
    return net::ProxyCredentials{user_->text().toStdString(), password_->text().toStdString()};
}

}  // namespace quor::installer

// Asks the user before a certificate joins the trusted roots, showing who it is and its
// thumbprints so the user can compare them with the ones the authority publishes.
#pragma once

#include <QDialog>

#include "platform/cert_store.h"

class QPushButton;

namespace quor::installer {

class RootConfirmationDialog : public QDialog {
    Q_OBJECT

  public:
    // Accepted ("Sim") means the certificate may be added; rejected ("Não", Esc, closing) that
    // it may not.
    RootConfirmationDialog(const platform::RootAddRequest& request, QWidget* parent);

    QPushButton* yesButton() const { return yes_; }
    QPushButton* noButton() const { return no_; }

  private:
    QPushButton* yes_;
    QPushButton* no_;
};

}  // namespace quor::installer

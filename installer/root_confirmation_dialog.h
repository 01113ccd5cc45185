// Asks the user before a certificate joins the trusted roots, showing who it is, its thumbprints,
// and whether the program knows it as an official ICP-Brasil root.
#pragma once

#include <QDialog>

#include "platform/cert_store.h"

class QLabel;
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
    // The sentence on the root's origin (official root, expired, or a warning).
    QLabel* originLabel() const { return origin_; }

  private:
    QLabel* origin_;
    QPushButton* yes_;
    QPushButton* no_;
};

}  // namespace quor::installer

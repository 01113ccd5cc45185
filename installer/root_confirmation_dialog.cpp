#include "installer/root_confirmation_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "installer/installer_prompts.h"

namespace quor::installer {

namespace {
QLabel* valueLabel(const std::string& text, QWidget* parent) {
    auto* label = new QLabel(QString::fromStdString(text), parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    return label;
}
}  // namespace

RootConfirmationDialog::RootConfirmationDialog(const platform::RootAddRequest& request,
                                               QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Aviso de segurança"));
    setModal(true);

    const RootOrigin origin = rootOrigin(request);
    auto* icon = new QLabel(this);
    icon->setPixmap(style()
                        ->standardIcon(origin.officialVersion && !origin.expired
                                           ? QStyle::SP_MessageBoxInformation
                                           : QStyle::SP_MessageBoxWarning)
                        .pixmap(32, 32));
    auto* intro = new QLabel(
        QStringLiteral("Você está prestes a instalar um certificado de uma autoridade "
                       "certificadora raiz. Os certificados emitidos por ela passarão a ser "
                       "considerados confiáveis neste computador."),
        this);
    intro->setWordWrap(true);

    auto* fields = new QFormLayout;
    fields->addRow(QStringLiteral("Emitido para:"), valueLabel(request.subjectDisplayName, this));
    fields->addRow(QStringLiteral("Emitido por:"), valueLabel(request.issuerDisplayName, this));
    fields->addRow(QStringLiteral("Válido de:"), valueLabel(utcTimeText(request.notBefore), this));
    fields->addRow(QStringLiteral("Válido até:"), valueLabel(utcTimeText(request.notAfter), this));
    fields->addRow(QStringLiteral("Impressão digital (SHA-1):"),
                   valueLabel(thumbprintText(request.sha1.data(), request.sha1.size()), this));
    fields->addRow(QStringLiteral("Impressão digital (SHA-256):"),
                   valueLabel(thumbprintText(request.sha256.data(), request.sha256.size()), this));

    origin_ = new QLabel(QString::fromStdString(origin.text), this);
    origin_->setObjectName(QStringLiteral("origin"));
    origin_->setWordWrap(true);
    if (!origin.officialVersion || origin.expired) {
        QFont bold = origin_->font();
        bold.setBold(true);
        origin_->setFont(bold);
    }

    auto* question =
        new QLabel(QStringLiteral("Confira a impressão digital com a publicada pela autoridade. "
                                  "Deseja instalar este certificado?"),
                   this);
    question->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(this);
    yes_ = buttons->addButton(QStringLiteral("Sim"), QDialogButtonBox::YesRole);
    no_ = buttons->addButton(QStringLiteral("Não"), QDialogButtonBox::NoRole);
    yes_->setObjectName(QStringLiteral("yes"));
    no_->setObjectName(QStringLiteral("no"));
    // Declining is the safe answer, so it is what Enter chooses. A focused push button of a
    // dialog becomes its default unless told not to, and "Sim" comes first in the focus chain:
    // without these two lines the opened question showed "Sim" as the default answer.
    yes_->setAutoDefault(false);
    no_->setDefault(true);
    no_->setFocus();
    connect(yes_, &QPushButton::clicked, this, &QDialog::accept);
    connect(no_, &QPushButton::clicked, this, &QDialog::reject);

    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addWidget(intro, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(fields);
    layout->addWidget(origin_);
    layout->addWidget(question);
    layout->addWidget(buttons);
    setMinimumWidth(520);
}

}  // namespace quor::installer

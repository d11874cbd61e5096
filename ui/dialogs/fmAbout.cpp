#include "fmAbout.h"

#include "platform/ui/helpviewer.h"
#include "resources/stationimages.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TAboutBox::TAboutBox(QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("O programu..."));
    setProperty(kHelpContextProperty, 1);

    auto *icon = new QLabel;
    icon->setPixmap(ProgramIcon().pixmap(48, 48));
    icon->setAlignment(Qt::AlignTop);

    auto *name = new QLabel(QStringLiteral("Veltrin"));
    QFont nameFont = name->font();
    nameFont.setBold(true);
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.6);
    name->setFont(nameFont);
    auto *version = new QLabel(QStringLiteral("Verze %1").arg(QStringLiteral(VELTRIN_VERSION)));
    auto *description = new QLabel(
            QStringLiteral("Stanice pro krátké zprávy mezi počítači v síti, bez serveru.\n"
                           "Zprávy se posílají přes UDP na port 34888 a opakují se, dokud je\n"
                           "stanice příjemce nepotvrdí."));
    description->setWordWrap(true);

    auto *texts = new QVBoxLayout;
    texts->addWidget(name);
    texts->addWidget(version);
    texts->addSpacing(8);
    texts->addWidget(description);
    texts->addStretch();

    auto *top = new QHBoxLayout;
    top->addWidget(icon);
    top->addSpacing(12);
    top->addLayout(texts, 1);

    auto *buttons = new QDialogButtonBox;
    QPushButton *ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
    setMinimumWidth(360);
}

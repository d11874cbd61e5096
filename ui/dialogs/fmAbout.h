#pragma once

#include <QDialog>

// The About box: the product's name, its version and what it is for.
class TAboutBox : public QDialog
{
    Q_OBJECT

public:
    explicit TAboutBox(QWidget *parent = nullptr);
};

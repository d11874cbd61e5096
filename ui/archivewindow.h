#pragma once

#include "core/store/archivemodel.h"

#include <QDialog>

class QLineEdit;
class QTableView;
class QTimer;

// Every message the store keeps, received and sent together, newest first, with a search field
// that narrows the list as the user types. Enter or a double-click on a row shows the message.
class ArchiveWindow : public QDialog
{
    Q_OBJECT

public:
    explicit ArchiveWindow(MessageStore &store, QWidget *parent = nullptr);

    ArchiveModel &model() { return m_model; }
    QLineEdit *searchField() const { return m_search; }
    QTableView *view() const { return m_view; }
    // Shows the message of a row in a box of its own.
    void showMessage(int row);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    ArchiveModel m_model;
    QLineEdit *m_search = nullptr;
    QTableView *m_view = nullptr;
    QTimer *m_searchPause = nullptr;
};

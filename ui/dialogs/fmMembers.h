#pragma once

#include <QByteArray>
#include <QCollator>
#include <QDialog>
#include <QPersistentModelIndex>

#include <memory>

class AddressBook;
class QLabel;
class QListWidget;
class QPushButton;
struct TRecipient;

// The group-membership dialog: the recipients of the first group on the left, the members of
// one group on the right. The lists are a working copy; the group changes only on "OK".
class TfMembers : public QDialog
{
    Q_OBJECT

public:
    static constexpr int kHelpTopic = 101;
    // The item data: the recipient's entry, and the node's text as the book holds it.
    enum ItemRole { EntryRole = Qt::UserRole + 1, TextRole };

    explicit TfMembers(AddressBook &book, QWidget *parent = nullptr);
    ~TfMembers() override;

    void FillMembers(int firstGroup, int group);
    // Items reach DstList at its end and SrcList at their sorted place.
    void MoveSelected(QListWidget *list, QListWidget *target);
    static int FirstSelected(const QListWidget *list);
    void SelectAfterMove(QListWidget *list, int index);
    void UpdateButtons();

    void includeSelected();
    void excludeSelected();
    void includeAll();
    void excludeAll();
    void applyAndClose();

    // The recipient of an item of either list.
    static std::shared_ptr<TRecipient> entryOf(const QListWidget *list, int row);

    QLabel *eSkp() const { return m_eSkp; }
    QListWidget *srcList() const { return m_srcList; }
    QListWidget *dstList() const { return m_dstList; }
    QPushButton *includeBtn() const { return m_includeBtn; }
    QPushButton *incAllBtn() const { return m_incAllBtn; }
    QPushButton *excludeBtn() const { return m_excludeBtn; }
    QPushButton *exAllBtn() const { return m_exAllBtn; }
    QPushButton *okBtn() const { return m_okBtn; }
    QPushButton *cancelBtn() const { return m_cancelBtn; }
    QPushButton *helpBtn() const { return m_helpBtn; }

private:
    void addItem(QListWidget *target, const QByteArray &text, std::shared_ptr<TRecipient> entry);
    // Every item of the list, first to last, to the target; the list is left empty.
    void moveAll(QListWidget *list, QListWidget *target);

    AddressBook &m_book;
    // The edited group, followed through whatever happens to the rows around it.
    QPersistentModelIndex m_group;
    // SrcList's order: alphabetical in the language of the station, without regard to case.
    QCollator m_sortOrder;

    QLabel *m_label1 = nullptr;
    QLabel *m_eSkp = nullptr;
    QLabel *m_srcLabel = nullptr;
    QListWidget *m_srcList = nullptr;
    QLabel *m_dstLabel = nullptr;
    QListWidget *m_dstList = nullptr;
    QPushButton *m_includeBtn = nullptr;
    QPushButton *m_incAllBtn = nullptr;
    QPushButton *m_excludeBtn = nullptr;
    QPushButton *m_exAllBtn = nullptr;
    QPushButton *m_okBtn = nullptr;
    QPushButton *m_cancelBtn = nullptr;
    QPushButton *m_helpBtn = nullptr;
};

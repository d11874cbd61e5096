#pragma once

#include <QAbstractSpinBox>
#include <QDialog>
#include <QString>
#include <QStyle>

#include <array>

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QToolButton;
class Tdm;

// A whole number with up and down buttons. Its value is its text read as an integer, the
// minimum when the text is none, held within the limits; a value that is set and the text that
// is left are brought within them too. Typing takes only what a number is written with and
// beeps at anything else, Enter included; pasted text is taken as it is and only read as a
// number. A button held down repeats its step after 400 ms, then every 100 ms.
class TSpinEdit : public QAbstractSpinBox
{
    Q_OBJECT

public:
    static constexpr int kRepeatDelayMs = 400;
    static constexpr int kRepeatIntervalMs = 100;

    TSpinEdit(qint32 minimum, qint32 maximum, QWidget *parent = nullptr);

    qint32 value() const;
    void setValue(qint32 value);

    QLineEdit *editor() const { return lineEdit(); }
    // Where the up (QStyle::SC_SpinBoxUp) or down button is drawn, in the field's coordinates.
    QRect buttonRect(QStyle::SubControl button) const;

    void stepBy(int steps) override;

protected:
    StepEnabled stepEnabled() const override;
    QValidator::State validate(QString &input, int &pos) const override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    qint32 m_minimum;
    qint32 m_maximum;
};

// A file name with a browse button. A name is shown between double quotes when it has a blank
// and no quote of its own, and read back as the text itself when that names an existing file,
// else as the text's first word (words end at blanks; double quotes hold blanks and go).
class TFilenameEdit : public QWidget
{
    Q_OBJECT

public:
    explicit TFilenameEdit(QWidget *parent = nullptr);

    // Throws Error "Invalid file name - <name>" when the name, or its first word if no such
    // file exists, holds a character that a file name cannot; the field is then unchanged.
    void setFileName(const QString &name);
    QString fileName() const;

    // The browse dialog's filter, in the file dialog's own syntax.
    void setFilter(const QString &filter) { m_filter = filter; }
    QString filter() const { return m_filter; }

    QLineEdit *editor() const { return m_edit; }
    QToolButton *browseButton() const { return m_browse; }

    static QString FirstWord(const QString &text);

private:
    void browse();

    QLineEdit *m_edit = nullptr;
    QToolButton *m_browse = nullptr;
    QString m_filter;
};

// The settings dialog: the station's name, port and name resolution, the size of the message
// tables, the alerts and the message store. "OK" copies every control into the station's
// settings and writes the keys; "Storno" leaves both the settings and the file as they were.
class TfSet : public QDialog
{
    Q_OBJECT

public:
    static constexpr std::array<qint32, 6> kMaxRecsItems{32, 64, 128, 256, 512, 1024};
    static constexpr qint32 kMinimumPort = 1024;
    static constexpr qint32 kMaximumPort = 65535;
    static constexpr int kHelpTopic = 50;
    static constexpr qint32 kMinimumKeepMax = 100;
    static constexpr qint32 kMaximumKeepMax = 10000000;
    static constexpr qint32 kMinimumKeepDays = 1;
    static constexpr qint32 kMaximumKeepDays = 36500;

    // Shows the settings as they are; a stored sound file that the file-name field refuses is
    // reported at once, and the dialog then opens with that field empty and enabled.
    explicit TfSet(Tdm &dm, QWidget *parent = nullptr);

    // The item of eRecs for a table size: the nearest of the six, the larger one of two that
    // are equally near, so that a hand-edited size is never cut short by more than it must be.
    static int NearestMaxRecsItem(qint32 maxRecs);

    QLineEdit *nameEdit() const { return m_eName; }
    TSpinEdit *portEdit() const { return m_ePort; }
    QCheckBox *ipBox() const { return m_eIP; }
    QPushButton *okButton() const { return m_button1; }
    QPushButton *cancelButton() const { return m_button2; }
    QGroupBox *recsGroup() const { return m_eRecs; }
    QRadioButton *recsItem(int index) const;
    QCheckBox *openBox() const { return m_cOpen; }
    QCheckBox *waveBox() const { return m_cWave; }
    TFilenameEdit *waveEdit() const { return m_eWave; }
    QCheckBox *storeBox() const { return m_cStore; }
    TSpinEdit *keepMaxEdit() const { return m_eKeepMax; }
    TSpinEdit *keepDaysEdit() const { return m_eKeepDays; }

private:
    void buildControls();
    void showSettings();
    void followSoundBox();
    void storeAndClose();

    Tdm &m_dm;
    QLineEdit *m_eName = nullptr;
    TSpinEdit *m_ePort = nullptr;
    QCheckBox *m_eIP = nullptr;
    QPushButton *m_button1 = nullptr;
    QPushButton *m_button2 = nullptr;
    QGroupBox *m_eRecs = nullptr;
    QButtonGroup *m_recsItems = nullptr;
    QCheckBox *m_cOpen = nullptr;
    QCheckBox *m_cWave = nullptr;
    TFilenameEdit *m_eWave = nullptr;
    QCheckBox *m_cStore = nullptr;
    TSpinEdit *m_eKeepMax = nullptr;
    TSpinEdit *m_eKeepDays = nullptr;
};

// Runs the settings dialog modally; true when it was closed with "OK".
bool OpenSettingsDialog(Tdm &dm, QWidget *parent);

#include "fmSet.h"

#include "core/settings.h"
#include "core/udm.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/integertext.h"
#include "platform/ui/helpviewer.h"
#include "platform/ui/messagebox.h"
#include "platform/ui/textguard.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionSpinBox>
#include <QToolButton>

#include <algorithm>
#include <optional>

namespace {

constexpr int kClientWidth = 344;
constexpr int kClientHeight = 399;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kFieldWidth = 297;
constexpr int kCheckBoxHeight = 16;

// The integers the old station's number fields read: leading blanks skipped, "$", "0x" and a
// bare "x" for hexadecimal.
std::optional<qint32> ReadNumber(const QString &text)
{
    return ParseIntegerText(EncodeWindows1250(text),
                            IntegerSyntax{.leadingBlanks = true, .bareX = true});
}

// A plain file, as the old station's file test saw it: a directory of the name does not count.
bool IsExistingFile(const QString &name)
{
    if (name.isEmpty())
        return false;
    const QFileInfo info(name);
    return info.exists() && !info.isDir();
}

QFont DialogFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"),
                      QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"),
                      QStringLiteral("DejaVu Sans"),
                      QStringLiteral("sans-serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

// The old station's number field started repeating later and repeated slower than the
// toolkit's own.
class SpinRepeatStyle : public QProxyStyle
{
    Q_OBJECT

public:
    int styleHint(StyleHint hint,
                  const QStyleOption *option,
                  const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        switch (hint) {
        case SH_SpinBox_ClickAutoRepeatThreshold:
            return TSpinEdit::kRepeatDelayMs;
        case SH_SpinBox_ClickAutoRepeatRate:
            return TSpinEdit::kRepeatIntervalMs;
        default:
            return QProxyStyle::styleHint(hint, option, widget, returnData);
        }
    }
};

QLabel *PlacedLabel(const QString &text, int x, int y, bool bold, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    if (bold) {
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
    }
    label->move(x, y);
    label->adjustSize();
    return label;
}

QFrame *SunkenFrame(const QRect &geometry, QWidget *parent)
{
    auto *frame = new QFrame(parent);
    frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
    frame->setGeometry(geometry);
    return frame;
}

// A field's label to its left, as high as the field, which it names to the keyboard and to a
// screen reader.
void PlaceLabelOf(QWidget *field, const QString &text, int x, QWidget *parent)
{
    QLabel *label = PlacedLabel(text, x, field->y(), false, parent);
    label->resize(label->width(), field->height());
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setBuddy(field);
}

QCheckBox *PlacedCheckBox(const QString &text, int x, int y, QWidget *parent)
{
    auto *box = new QCheckBox(text, parent);
    box->move(x, y);
    box->adjustSize();
    box->resize(box->width(), kCheckBoxHeight);
    return box;
}

} // namespace

TSpinEdit::TSpinEdit(qint32 minimum, qint32 maximum, QWidget *parent)
    : QAbstractSpinBox(parent)
    , m_minimum(minimum)
    , m_maximum(maximum)
{
    auto *style = new SpinRepeatStyle;
    style->setParent(this);
    setStyle(style);
    setValue(minimum);
}

qint32 TSpinEdit::value() const
{
    return std::clamp(ReadNumber(text()).value_or(m_minimum), m_minimum, m_maximum);
}

void TSpinEdit::setValue(qint32 value)
{
    lineEdit()->setText(QString::number(std::clamp(value, m_minimum, m_maximum)));
}

QRect TSpinEdit::buttonRect(QStyle::SubControl button) const
{
    QStyleOptionSpinBox option;
    initStyleOption(&option);
    return style()->subControlRect(QStyle::CC_SpinBox, &option, button, this);
}

void TSpinEdit::stepBy(int steps)
{
    const qint64 stepped = qint64(value()) + steps;
    setValue(qint32(std::clamp<qint64>(stepped, m_minimum, m_maximum)));
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const
{
    return StepUpEnabled | StepDownEnabled;
}

QValidator::State TSpinEdit::validate(QString &, int &) const
{
    // Pasted text stays as it is; typing is held to numbers in keyPressEvent.
    return QValidator::Acceptable;
}

void TSpinEdit::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        QApplication::beep();
        event->accept();
        return;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        // Only the arrows step, and by one.
        event->accept();
        return;
    default:
        break;
    }
    if (TextGuard::TypesText(*event)) {
        const QString decimalPoint = locale().decimalPoint();
        for (const QChar typed : event->text()) {
            const bool accepted = (typed >= QLatin1Char('0') && typed <= QLatin1Char('9'))
                                  || typed == QLatin1Char('+') || typed == QLatin1Char('-')
                                  || decimalPoint.contains(typed);
            if (!accepted) {
                QApplication::beep();
                event->accept();
                return;
            }
        }
    }
    QAbstractSpinBox::keyPressEvent(event);
}

void TSpinEdit::focusOutEvent(QFocusEvent *event)
{
    // A number out of range is brought within it; a text that is no number is left to be seen
    // as it is, and counts as the minimum.
    const std::optional<qint32> typed = ReadNumber(text());
    if (typed && (*typed < m_minimum || *typed > m_maximum))
        setValue(*typed);
    QAbstractSpinBox::focusOutEvent(event);
}

TFilenameEdit::TFilenameEdit(QWidget *parent)
    : QWidget(parent)
    , m_edit(new QLineEdit(this))
    , m_browse(new QToolButton(this))
{
    m_browse->setText(QStringLiteral("..."));
    m_browse->setFocusPolicy(Qt::NoFocus);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_edit, 1);
    layout->addWidget(m_browse);
    setFocusProxy(m_edit);
    connect(m_browse, &QToolButton::clicked, this, [this] { browse(); });
}

QString TFilenameEdit::FirstWord(const QString &text)
{
    qsizetype i = 0;
    while (i < text.size() && text[i] == QLatin1Char(' '))
        ++i;
    QString word;
    bool quoted = false;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
            continue;
        }
        if (c == QLatin1Char(' ') && !quoted)
            break;
        word.append(c);
    }
    return word;
}

void TFilenameEdit::setFileName(const QString &name)
{
    if (!name.isEmpty()) {
        const QString checked = IsExistingFile(name) ? name : FirstWord(name);
        const QString forbidden = QStringLiteral("<>\"[]|");
        if (std::any_of(checked.begin(), checked.end(), [&forbidden](QChar c) {
                return forbidden.contains(c);
            })) {
            throw Error(EncodeWindows1250(QStringLiteral("Invalid file name - %1").arg(name)));
        }
    }
    // Quoted so that reading the text back as a command line gives the whole name again.
    const bool quoted = name.contains(QLatin1Char(' ')) && !name.startsWith(QLatin1Char('"'));
    m_edit->setText(quoted ? QLatin1Char('"') + name + QLatin1Char('"') : name);
}

QString TFilenameEdit::fileName() const
{
    const QString text = m_edit->text();
    return IsExistingFile(text) ? text : FirstWord(text);
}

void TFilenameEdit::browse()
{
    const QString current = fileName();
    const QString directory = current.isEmpty() ? QString() : QFileInfo(current).absolutePath();
    const QString chosen = QFileDialog::getOpenFileName(this, QString(), directory, m_filter);
    if (chosen.isEmpty())
        return;
    // A slot of the button: what goes wrong is shown here, not thrown into the event loop.
    try {
        if (!IsWindows1250Text(chosen)) {
            throw Error(EncodeWindows1250(
                    QStringLiteral("Název souboru obsahuje znaky, které nelze uložit: %1")
                            .arg(chosen)));
        }
        setFileName(chosen);
    } catch (const std::exception &error) {
        WidgetMessageBoxes(window()).error(ErrorTextOf(error));
    }
}

TfSet::TfSet(Tdm &dm, QWidget *parent)
    : QDialog(parent,
              Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                      | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , m_dm(dm)
{
    setObjectName(QStringLiteral("fSet"));
    setWindowTitle(QStringLiteral("Nastavení parametrů"));
    setFont(DialogFont());
    setFixedSize(kClientWidth, kClientHeight);
    buildControls();
    showSettings();
}

void TfSet::buildControls()
{
    // The frames first, so that the controls placed over them stay on top.
    QFrame *stationFrame = SunkenFrame(QRect(8, 8, 330, 161), this);
    QFrame *alertFrame = SunkenFrame(QRect(8, 178, 330, 95), this);
    QFrame *storeFrame = SunkenFrame(QRect(8, 282, 330, 79), this);

    PlacedLabel(QStringLiteral("Jméno, identifikace této stanice"), 24, 16, true, this);
    m_eName = new QLineEdit(this);
    m_eName->setObjectName(QStringLiteral("eName"));
    m_eName->setGeometry(24, 32, kFieldWidth, m_eName->sizeHint().height());
    // The station's name is stored and sent as typed, the reserved characters included.
    new TextGuard(m_eName);

    m_ePort = new TSpinEdit(kMinimumPort, kMaximumPort, this);
    m_ePort->setObjectName(QStringLiteral("ePort"));
    m_ePort->setGeometry(48, 64, 65, m_ePort->sizeHint().height());
    PlaceLabelOf(m_ePort, QStringLiteral("Port"), 24, this);

    m_eIP = new QCheckBox(QStringLiteral("Převádět název příjemce na IP adresu"), this);
    m_eIP->setObjectName(QStringLiteral("eIP"));
    m_eIP->adjustSize();
    m_eIP->setGeometry(120, 64, m_eIP->width(), m_ePort->height());

    // Neither button is the default one, so Enter in a field presses neither.
    m_button1 = new QPushButton(QStringLiteral("OK"), this);
    m_button1->setObjectName(QStringLiteral("Button1"));
    m_button1->setGeometry(160, 370, kButtonWidth, kButtonHeight);
    m_button1->setAutoDefault(false);
    m_button2 = new QPushButton(QStringLiteral("Storno"), this);
    m_button2->setObjectName(QStringLiteral("Button2"));
    m_button2->setGeometry(248, 370, kButtonWidth, kButtonHeight);
    m_button2->setAutoDefault(false);
    connect(m_button1, &QPushButton::clicked, this, [this] { storeAndClose(); });
    connect(m_button2, &QPushButton::clicked, this, [this] { reject(); });

    m_eRecs = new QGroupBox(QStringLiteral("Max počet zpráv v tabulkách"), this);
    m_eRecs->setObjectName(QStringLiteral("eRecs"));
    m_eRecs->setGeometry(24, 96, kFieldWidth, 57);
    auto *items = new QGridLayout(m_eRecs);
    items->setContentsMargins(8, 0, 8, 2);
    items->setSpacing(0);
    m_recsItems = new QButtonGroup(this);
    for (int i = 0; i < int(kMaxRecsItems.size()); ++i) {
        auto *item = new QRadioButton(QString::number(kMaxRecsItems[std::size_t(i)]), m_eRecs);
        m_recsItems->addButton(item, i);
        items->addWidget(item, i % 2, i / 2); // down each column first, as the old group did
    }

    PlacedLabel(QStringLiteral("Upozornit na příchozí zprávu"), 24, 184, true, this);
    m_cOpen = PlacedCheckBox(QStringLiteral("Otevřít okno se zprávou"), 24, 208, this);
    m_cWave = PlacedCheckBox(QStringLiteral("Přehrát zvuk"), 24, 224, this);
    m_cOpen->setObjectName(QStringLiteral("cOpen"));
    m_cWave->setObjectName(QStringLiteral("cWave"));
    m_eWave = new TFilenameEdit(this);
    m_eWave->setObjectName(QStringLiteral("eWave"));
    m_eWave->setGeometry(24, 240, kFieldWidth, m_eWave->sizeHint().height());
    m_eWave->setFilter(QStringLiteral("Wave (*.wav)"));

    PlacedLabel(QStringLiteral("Archiv zpráv"), 24, 288, true, this);
    m_cStore = PlacedCheckBox(QStringLiteral("Ukládat zprávy na disk"), 24, 304, this);
    m_cStore->setObjectName(QStringLiteral("cStore"));
    m_eKeepMax = new TSpinEdit(kMinimumKeepMax, kMaximumKeepMax, this);
    m_eKeepMax->setObjectName(QStringLiteral("eKeepMax"));
    m_eKeepMax->setGeometry(104, 328, 73, m_eKeepMax->sizeHint().height());
    PlaceLabelOf(m_eKeepMax, QStringLiteral("Nejvýš zpráv"), 24, this);
    m_eKeepDays = new TSpinEdit(kMinimumKeepDays, kMaximumKeepDays, this);
    m_eKeepDays->setObjectName(QStringLiteral("eKeepDays"));
    m_eKeepDays->setGeometry(264, 328, 57, m_eKeepDays->sizeHint().height());
    PlaceLabelOf(m_eKeepDays, QStringLiteral("Nejdéle dní"), 192, this);
    connect(m_cStore, &QCheckBox::toggled, this, [this](bool on) {
        m_eKeepMax->setEnabled(on);
        m_eKeepDays->setEnabled(on);
    });

    // The layout was drawn for a font narrower than most desktops have: where the check box
    // beside the port needs more room, the frames, the full-width controls and the dialog grow
    // by what it lacks and the buttons move along, so that nothing is cut at the frame or at
    // the dialog's edge.
    const int frameRight = stationFrame->geometry().right();
    const int frameMargin = frameRight - (m_eName->geometry().right());
    const int extra = std::max(0, m_eIP->geometry().right() + frameMargin - frameRight);
    if (extra > 0) {
        for (QWidget *widget : std::initializer_list<QWidget *>{
                     stationFrame, alertFrame, storeFrame, m_eName, m_eRecs, m_eWave})
            widget->resize(widget->width() + extra, widget->height());
        for (QWidget *button : {m_button1, m_button2})
            button->move(button->x() + extra, button->y());
    }
    setFixedSize(kClientWidth + extra, kClientHeight);
    new TextGuard(m_eWave->editor());
    connect(m_cWave, &QCheckBox::toggled, this, [this] { followSoundBox(); });

    QWidget *previous = m_eName;
    const auto next = [&previous](QWidget *widget) {
        setTabOrder(previous, widget);
        previous = widget;
    };
    next(m_ePort);
    next(m_eIP);
    next(m_button1);
    next(m_button2);
    for (QAbstractButton *item : m_recsItems->buttons())
        next(item);
    next(m_cOpen);
    next(m_cWave);
    next(m_eWave);
    next(m_cStore);
    next(m_eKeepMax);
    next(m_eKeepDays);
    m_eName->setFocus();
}

void TfSet::showSettings()
{
    setProperty(kHelpContextProperty, kHelpTopic);
    // A step that fails ends the filling here; the dialog still opens with what was filled.
    try {
        const TStationSettings &settings = m_dm.settings();
        m_eName->setText(DecodeWindows1250(settings.IDENT));
        m_ePort->setValue(settings.PORT);
        m_eIP->setChecked(settings.USEIP);
        m_eRecs->setEnabled(true);
        m_recsItems->button(NearestMaxRecsItem(settings.MAXRECS))->setChecked(true);
        m_cOpen->setChecked(settings.MAXIMIZE);
        m_cWave->setChecked(settings.PLAYWAVE);
        m_cStore->setChecked(settings.STORE);
        m_eKeepMax->setValue(settings.KEEPMAX);
        m_eKeepDays->setValue(settings.KEEPDAYS);
        m_eKeepMax->setEnabled(settings.STORE);
        m_eKeepDays->setEnabled(settings.STORE);
        m_eWave->setFileName(DecodeWindows1250(settings.WAVEFILE));
        followSoundBox();
    } catch (const std::exception &error) {
        // Not shown yet: the box goes over the window that opens the dialog.
        WidgetMessageBoxes(parentWidget()).error(ErrorTextOf(error));
    }
}

int TfSet::NearestMaxRecsItem(qint32 maxRecs)
{
    const auto distance = [maxRecs](std::size_t item) {
        return std::abs(qint64(kMaxRecsItems[item]) - qint64(maxRecs));
    };
    std::size_t nearest = 0;
    for (std::size_t item = 1; item < kMaxRecsItems.size(); ++item) {
        if (distance(item) <= distance(nearest))
            nearest = item;
    }
    return int(nearest);
}

QRadioButton *TfSet::recsItem(int index) const
{
    return static_cast<QRadioButton *>(m_recsItems->button(index));
}

void TfSet::followSoundBox()
{
    const bool enabled = m_cWave->isChecked();
    m_eWave->setEnabled(enabled);
    QLineEdit *editor = m_eWave->editor();
    const QPalette standard = QApplication::palette(editor);
    const QColor background = standard.color(enabled ? QPalette::Base : QPalette::Button);
    QPalette palette = editor->palette();
    for (const QPalette::ColorGroup group :
         {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::Base, background);
    editor->setPalette(palette);
}

void TfSet::storeAndClose()
{
    // Every control is copied that can be; the keys are written whatever happened.
    std::optional<QByteArray> copyError;
    TStationSettings settings = m_dm.settings();
    try {
        const QByteArray typedName = EncodeWindows1250(m_eName->text());
        settings.IDENT = IdentToStore(typedName, m_dm.computerName());
        settings.PORT = static_cast<quint16>(m_ePort->value());
        settings.USEIP = m_eIP->isChecked();
        if (const int item = m_recsItems->checkedId(); item >= 0)
            settings.MAXRECS = kMaxRecsItems[std::size_t(item)];
        settings.MAXIMIZE = m_cOpen->isChecked();
        settings.PLAYWAVE = m_cWave->isChecked();
        settings.WAVEFILE = EncodeWindows1250(m_eWave->fileName());
        settings.STORE = m_cStore->isChecked();
        settings.KEEPMAX = m_eKeepMax->value();
        settings.KEEPDAYS = m_eKeepDays->value();
    } catch (const std::exception &error) {
        copyError = ErrorTextOf(error);
    }
    m_dm.setSettings(settings);
    try {
        SaveSettings(OpenSettingsFile(), settings);
    } catch (const std::exception &error) {
        // The settings already hold the new values; the dialog stays for another try.
        if (copyError)
            WidgetMessageBoxes(this).error(*copyError);
        WidgetMessageBoxes(this).error(ErrorTextOf(error));
        return;
    }
    accept();
    if (copyError)
        WidgetMessageBoxes(parentWidget()).error(*copyError);
}

bool OpenSettingsDialog(Tdm &dm, QWidget *parent)
{
    // Called from the window's commands: nothing may leave here into the event loop.
    try {
        TfSet fSet(dm, parent);
        return fSet.exec() == QDialog::Accepted;
    } catch (const std::exception &error) {
        WidgetMessageBoxes(parent).error(ErrorTextOf(error));
        return false;
    }
}

#include "fmSet.moc"

#include "core/settings.h"
#include "core/udm.h"
#include "platform/codepage.h"
#include "platform/ui/helpviewer.h"
#include "support/filehelpers.h"
#include "support/printers.h"
#include "support/privatenetwork.h"
#include "support/recordingboxes.h"
#include "support/stationsettings.h"
#include "support/widgettest.h"
#include "ui/dialogs/fmSet.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

namespace {

const QByteArray kPortOnly = "[TCPIP]\r\nPORT=40000\r\n";

// A core started from the given settings file, its clock stopped.
struct Core
{
    explicit Core(const QByteArray &settings = kPortOnly)
    {
        UseSettings(settings);
        dm = MakeTestStation(boxes);
    }

    RecordingBoxes boxes;
    std::unique_ptr<Tdm> dm;
};

QByteArray Stored(const char *section, const char *key)
{
    return OpenSettingsFile().readString(section, key, "(missing)");
}

// The dialog without its modal loop, shown and active, for the test to drive directly.
struct ShownDialog
{
    explicit ShownDialog(Tdm &dm)
        : dialog(dm)
    {
        dialog.show();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&dialog));
    }

    void replaceText(QWidget *field, const QString &text)
    {
        field->setFocus(); // so that leaving it later is a real focus change
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, text);
    }

    void paste(QWidget *field, const QString &text)
    {
        QApplication::clipboard()->setText(text);
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    }

    // A click on the item's mark: the item is wider than its mark and label, which alone take
    // clicks.
    void pick(QRadioButton *item)
    {
        QTest::mouseClick(item, Qt::LeftButton, {}, QPoint(6, item->height() / 2));
    }

    void ok() { QTest::mouseClick(dialog.okButton(), Qt::LeftButton); }

    TfSet dialog;
};

// A sound file in a directory whose name has a blank, and a name beside it of no file.
struct SoundFiles
{
    SoundFiles()
    {
        EXPECT_TRUE(QDir(directory.path()).mkdir(QStringLiteral("My Sounds")));
        WriteFileBytes(existing, "RIFF");
    }

    QTemporaryDir directory;
    QString existing = directory.filePath(QStringLiteral("My Sounds/ding.wav"));
    QString missing = directory.filePath(QStringLiteral("My Sounds/none.wav"));
    QString cutAtBlank = directory.filePath(QStringLiteral("My"));
};

QString Quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

// The layout was drawn for a narrower font than the desktops have; no control may then run over
// its frame or be cut at the dialog's edge.
TEST(SettingsDialog, EveryControlFitsItsTextAndStaysInItsFrame)
{
    RUN_WINDOW_TEST([] {
        Core core;
        ShownDialog shown(*core.dm);
        TfSet &dialog = shown.dialog;
        QList<QRect> frames;
        for (const QFrame *frame : dialog.findChildren<QFrame *>()) {
            if (frame->metaObject() == &QFrame::staticMetaObject)
                frames << frame->geometry();
        }
        ASSERT_EQ(frames.size(), 3);
        const auto inAFrame = [&frames](const QRect &geometry) {
            return std::any_of(frames.begin(), frames.end(), [&geometry](const QRect &frame) {
                return frame.contains(geometry);
            });
        };
        for (QWidget *control : std::initializer_list<QWidget *>{dialog.nameEdit(),
                                                                 dialog.portEdit(),
                                                                 dialog.ipBox(),
                                                                 dialog.recsGroup(),
                                                                 dialog.openBox(),
                                                                 dialog.waveBox(),
                                                                 dialog.waveEdit(),
                                                                 dialog.storeBox(),
                                                                 dialog.keepMaxEdit(),
                                                                 dialog.keepDaysEdit()}) {
            const std::string name = control->objectName().toStdString();
            EXPECT_TRUE(inAFrame(control->geometry())) << name;
            EXPECT_TRUE(dialog.rect().contains(control->geometry())) << name;
        }
        for (QCheckBox *box :
             {dialog.ipBox(), dialog.openBox(), dialog.waveBox(), dialog.storeBox()})
            EXPECT_GE(box->width(), box->sizeHint().width()) << box->text().toStdString();
        for (QPushButton *button : {dialog.okButton(), dialog.cancelButton()})
            EXPECT_TRUE(dialog.rect().contains(button->geometry()));
    });
}

TEST(SettingsDialog, OkWritesEveryKeyAlsoWhenNothingChanged)
{
    RUN_WINDOW_TEST([] {
        Core core;
        ShownDialog shown(*core.dm);
        EXPECT_EQ(shown.dialog.windowTitle(), QStringLiteral("Nastavení parametrů"));
        EXPECT_EQ(shown.dialog.property(kHelpContextProperty).toInt(), 50);
        EXPECT_EQ(shown.dialog.nameEdit()->text(), QStringLiteral("PC7"));
        EXPECT_EQ(shown.dialog.portEdit()->text(), QStringLiteral("40000"));
        EXPECT_TRUE(shown.dialog.ipBox()->isChecked());
        EXPECT_TRUE(shown.dialog.recsGroup()->isEnabled());
        EXPECT_TRUE(shown.dialog.recsItem(0)->isChecked());
        EXPECT_TRUE(shown.dialog.openBox()->isChecked());
        EXPECT_FALSE(shown.dialog.waveBox()->isChecked());
        EXPECT_FALSE(shown.dialog.waveEdit()->isEnabled());
        EXPECT_TRUE(shown.dialog.storeBox()->isChecked());
        EXPECT_EQ(shown.dialog.keepMaxEdit()->value(), 100000);
        EXPECT_EQ(shown.dialog.keepDaysEdit()->value(), 365);

        shown.ok();
        EXPECT_EQ(shown.dialog.result(), QDialog::Accepted);
        EXPECT_EQ(Stored("TCPIP", "USEIP"), QByteArray("1"));
        EXPECT_EQ(Stored("TCPIP", "IDENT"), QByteArray("PC7"));
        EXPECT_EQ(Stored("TCPIP", "PORT"), QByteArray("40000"));
        EXPECT_EQ(Stored("DATABASE", "MAXRECS"), QByteArray("32"));
        EXPECT_EQ(Stored("DATABASE", "STORE"), QByteArray("1"));
        EXPECT_EQ(Stored("DATABASE", "KEEPMAX"), QByteArray("100000"));
        EXPECT_EQ(Stored("DATABASE", "KEEPDAYS"), QByteArray("365"));
        EXPECT_EQ(Stored("ALERT", "MAXIMIZE"), QByteArray("1"));
        EXPECT_EQ(Stored("ALERT", "PLAYWAVE"), QByteArray("0"));
        EXPECT_EQ(Stored("ALERT", "WAVEFILE"), QByteArray());
    });
}

TEST(SettingsDialog, TheNameIsCutToThirtyTwoAndAnEmptyOneIsTheComputerName)
{
    RUN_WINDOW_TEST([] {
        Core core("[TCPIP]\r\nPORT=40000\r\nIDENT=Recepce\r\n");
        {
            ShownDialog shown(*core.dm);
            shown.replaceText(shown.dialog.nameEdit(), QString());
            shown.ok();
            EXPECT_EQ(core.dm->settings().IDENT, QByteArray("PC7"));
            EXPECT_EQ(Stored("TCPIP", "IDENT"), QByteArray("PC7"));
        }
        {
            // Every character goes through, the reserved ones of the wire included.
            ShownDialog shown(*core.dm);
            shown.replaceText(shown.dialog.nameEdit(),
                              QStringLiteral("a|b~c<d>") + QString(32, QLatin1Char('x')));
            shown.ok();
            const QByteArray expected = "a|b~c<d>" + QByteArray(24, 'x');
            EXPECT_EQ(core.dm->settings().IDENT, expected);
            EXPECT_EQ(Stored("TCPIP", "IDENT"), expected);
        }
        {
            // What the code page cannot hold: refused when typed, shown as stored when pasted.
            ShownDialog shown(*core.dm);
            QLineEdit *name = shown.dialog.nameEdit();
            shown.replaceText(name, QStringLiteral("Sklad"));
            // One key, one character of two code units.
            QTest::sendKeyEvent(QTest::Click,
                                name,
                                Qt::Key_unknown,
                                QStringLiteral("\U0001F600"),
                                Qt::NoModifier);
            EXPECT_EQ(name->text(), QStringLiteral("Sklad"));
            shown.paste(name, QStringLiteral("☺č"));
            EXPECT_EQ(name->text(), QStringLiteral("Sklad?č"));
            shown.ok();
            EXPECT_EQ(core.dm->settings().IDENT, QByteArray("Sklad?\xE8"));
        }
    });
}

TEST(SettingsDialog, PortFieldTakesAtMostTheMaximumAndPastedLettersCountAsTheMinimum)
{
    RUN_WINDOW_TEST([] {
        Core core;
        const quint16 listening = core.dm->listeningPort();
        {
            ShownDialog shown(*core.dm);
            TSpinEdit *port = shown.dialog.portEdit();
            shown.replaceText(port, QStringLiteral("7x0 0+-"));
            EXPECT_EQ(port->text(), QStringLiteral("700+-"));
            // The decimal point is typed as well; only reading the text as a number refuses it.
            const QString point = port->locale().decimalPoint();
            QTest::sendKeyEvent(QTest::Click, port, Qt::Key_unknown, point, Qt::NoModifier);
            EXPECT_EQ(port->text(), QStringLiteral("700+-") + point);
            shown.replaceText(port, QStringLiteral("70000"));
            QTest::keyClick(port, Qt::Key_Return); // dropped: it neither closes nor corrects
            EXPECT_TRUE(shown.dialog.isVisible());
            EXPECT_EQ(port->text(), QStringLiteral("70000"));
            shown.ok();
            EXPECT_EQ(port->text(), QStringLiteral("65535")); // corrected on leaving the field
            EXPECT_EQ(shown.dialog.result(), QDialog::Accepted);
            EXPECT_EQ(core.dm->settings().PORT, 65535);
            EXPECT_EQ(Stored("TCPIP", "PORT"), QByteArray("65535"));
        }
        {
            ShownDialog shown(*core.dm);
            TSpinEdit *port = shown.dialog.portEdit();
            QTest::keyClick(port, Qt::Key_A, Qt::ControlModifier);
            shown.paste(port, QStringLiteral("abc"));
            EXPECT_EQ(port->text(), QStringLiteral("abc"));
            QTest::keyClicks(port, QStringLiteral("d"));
            EXPECT_EQ(port->text(), QStringLiteral("abc"));
            shown.ok();
            EXPECT_EQ(core.dm->settings().PORT, 1024);
            EXPECT_EQ(Stored("TCPIP", "PORT"), QByteArray("1024"));
        }
        // The running station keeps its port: only the next start binds the new one.
        EXPECT_EQ(core.dm->listeningPort(), listening);
    });
}

TEST(SettingsDialog, PortStepsByOneWithinTheLimitsAndRepeatsWhenHeld)
{
    RUN_WINDOW_TEST([] {
        Core core("[TCPIP]\r\nPORT=80\r\n");
        ShownDialog shown(*core.dm);
        TSpinEdit *port = shown.dialog.portEdit();
        EXPECT_EQ(port->text(), QStringLiteral("1024"));
        QTest::keyClick(port, Qt::Key_Down);
        EXPECT_EQ(port->text(), QStringLiteral("1024"));
        QTest::keyClick(port, Qt::Key_Up);
        QTest::keyClick(port, Qt::Key_Up);
        EXPECT_EQ(port->text(), QStringLiteral("1026"));
        QTest::keyClick(port, Qt::Key_PageUp);
        EXPECT_EQ(port->text(), QStringLiteral("1026"));
        shown.replaceText(port, QStringLiteral("65535"));
        QTest::keyClick(port, Qt::Key_Up);
        EXPECT_EQ(port->text(), QStringLiteral("65535"));

        // The spin box takes its delay and rate from its style.
        EXPECT_EQ(port->style()->styleHint(
                          QStyle::SH_SpinBox_ClickAutoRepeatThreshold, nullptr, port),
                  TSpinEdit::kRepeatDelayMs);
        EXPECT_EQ(port->style()->styleHint(QStyle::SH_SpinBox_ClickAutoRepeatRate, nullptr, port),
                  TSpinEdit::kRepeatIntervalMs);

        port->setValue(2000);
        std::vector<int> values;
        const QMetaObject::Connection recording
                = QObject::connect(port->editor(), &QLineEdit::textChanged, port, [&] {
                      values.push_back(port->value());
                  });
        // The dialog outlives the list, however the test ends.
        const auto stopRecording = qScopeGuard([&] { QObject::disconnect(recording); });
        const QPoint up = port->buttonRect(QStyle::SC_SpinBoxUp).center();
        QTest::mousePress(port, Qt::LeftButton, {}, up);
        EXPECT_EQ(port->value(), 2001); // one step at once
        // Timers fire in the order they are due, so one due halfway through the delay sees
        // the value before any repeat could have come, however busy the machine.
        int beforeTheDelay = 0;
        QTimer::singleShot(TSpinEdit::kRepeatDelayMs / 2, Qt::PreciseTimer, port, [&] {
            beforeTheDelay = port->value();
        });
        ASSERT_TRUE(QTest::qWaitFor([&] { return beforeTheDelay != 0; }));
        EXPECT_EQ(beforeTheDelay, 2001);
        ASSERT_TRUE(QTest::qWaitFor([&] { return port->value() >= 2003; }))
                << "the held button did not repeat";
        QTest::mouseRelease(port, Qt::LeftButton, {}, up);
        const int released = port->value();
        // The same with a timer due two repeats after the release: a repeat still running would
        // have stepped before it.
        int afterTheRelease = 0;
        QTimer::singleShot(2 * TSpinEdit::kRepeatIntervalMs, Qt::PreciseTimer, port, [&] {
            afterTheRelease = port->value();
        });
        ASSERT_TRUE(QTest::qWaitFor([&] { return afterTheRelease != 0; }));
        EXPECT_EQ(afterTheRelease, released);
        // Every step was one, the repeats as much as the click.
        ASSERT_FALSE(values.empty());
        EXPECT_EQ(values.front(), 2001);
        for (std::size_t i = 1; i < values.size(); ++i)
            EXPECT_EQ(values[i], values[i - 1] + 1) << "step " << i;
        EXPECT_EQ(values.back(), released);
    });
}

TEST(SettingsDialog, AStoredSoundFileWithABlankIsShownQuotedAndStoredBackUnchanged)
{
    RUN_WINDOW_TEST([] {
        Core core;
        SoundFiles files;
        for (const QString &stored : {files.existing, files.missing}) {
            TStationSettings settings = core.dm->settings();
            settings.WAVEFILE = EncodeWindows1250(stored);
            core.dm->setSettings(settings);
            ShownDialog shown(*core.dm);
            EXPECT_EQ(shown.dialog.waveEdit()->editor()->text(), Quoted(stored));
            shown.ok();
            EXPECT_EQ(core.dm->settings().WAVEFILE, EncodeWindows1250(stored));
            EXPECT_EQ(Stored("ALERT", "WAVEFILE"), EncodeWindows1250(stored));
        }
    });
}

TEST(SettingsDialog, ATypedPathWithABlankIsStoredWholeOnlyWhenTheFileExists)
{
    RUN_WINDOW_TEST([] {
        Core core;
        SoundFiles files;
        const std::pair<QString, QString> cases[]
                = {{files.existing, files.existing}, {files.missing, files.cutAtBlank}};
        for (const auto &[typed, stored] : cases) {
            TStationSettings settings = core.dm->settings();
            settings.PLAYWAVE = false; // the previous round's "OK" stored it on
            core.dm->setSettings(settings);
            ShownDialog shown(*core.dm);
            QTest::mouseClick(shown.dialog.waveBox(), Qt::LeftButton);
            ASSERT_TRUE(shown.dialog.waveEdit()->isEnabled());
            shown.replaceText(shown.dialog.waveEdit()->editor(), typed);
            shown.ok();
            EXPECT_TRUE(core.dm->settings().PLAYWAVE);
            EXPECT_EQ(core.dm->settings().WAVEFILE, EncodeWindows1250(stored));
            EXPECT_EQ(Stored("ALERT", "WAVEFILE"), EncodeWindows1250(stored));
        }
    });
}

TEST(SettingsDialog, AnInvalidStoredFileNameIsReportedAndTheFieldOpensEmptyAndEnabled)
{
    RUN_WINDOW_TEST([] {
        Core core("[TCPIP]\r\nPORT=40000\r\n[ALERT]\r\nWAVEFILE=zvuk|1.wav\r\n");
        BoxAnswerer cancel(QMessageBox::Cancel);
        ShownDialog shown(*core.dm);
        EXPECT_EQ(cancel.questions,
                  std::vector<QString>{QStringLiteral("Invalid file name - zvuk|1.wav")});
        EXPECT_EQ(cancel.icons, std::vector<QMessageBox::Icon>{QMessageBox::Critical});
        EXPECT_FALSE(shown.dialog.waveBox()->isChecked());
        EXPECT_TRUE(shown.dialog.waveEdit()->isEnabled());
        EXPECT_TRUE(shown.dialog.waveEdit()->editor()->text().isEmpty());
        shown.ok();
        EXPECT_EQ(core.dm->settings().WAVEFILE, QByteArray());
        EXPECT_EQ(Stored("ALERT", "WAVEFILE"), QByteArray());
    });
}

TEST(SettingsDialog, ClearingTheSoundBoxGreysTheFieldButItsNameIsStillStored)
{
    RUN_WINDOW_TEST([] {
        SoundFiles files;
        Core core("[TCPIP]\r\nPORT=40000\r\n[ALERT]\r\nPLAYWAVE=1\r\nWAVEFILE="
                  + EncodeWindows1250(files.existing) + "\r\n");
        ShownDialog shown(*core.dm);
        TFilenameEdit *wave = shown.dialog.waveEdit();
        const QPalette standard = QApplication::palette(wave->editor());
        EXPECT_TRUE(wave->isEnabled());
        EXPECT_EQ(wave->editor()->palette().color(QPalette::Base), standard.color(QPalette::Base));

        QTest::mouseClick(shown.dialog.waveBox(), Qt::LeftButton);
        EXPECT_FALSE(shown.dialog.waveBox()->isChecked());
        EXPECT_FALSE(wave->isEnabled());
        EXPECT_EQ(wave->editor()->palette().color(QPalette::Base),
                  standard.color(QPalette::Button));
        EXPECT_EQ(wave->editor()->text(), Quoted(files.existing));
        shown.ok();
        EXPECT_FALSE(core.dm->settings().PLAYWAVE);
        EXPECT_EQ(core.dm->settings().WAVEFILE, EncodeWindows1250(files.existing));
        EXPECT_EQ(Stored("ALERT", "PLAYWAVE"), QByteArray("0"));
    });
}

TEST(SettingsDialog, TheBrowseDialogOffersWaveFilesAndPutsTheChoiceInTheField)
{
    RUN_WINDOW_TEST([] {
        Core core("[TCPIP]\r\nPORT=40000\r\n[ALERT]\r\nPLAYWAVE=1\r\n");
        SoundFiles files;
        ShownDialog shown(*core.dm);
        QStringList filters;
        ModalDriver<QFileDialog> driver([&](QFileDialog &dialog) {
            filters = dialog.nameFilters();
            dialog.selectFile(files.existing);
            static_cast<QDialog &>(dialog).accept(); // QFileDialog hides its own
        });
        QTest::mouseClick(shown.dialog.waveEdit()->browseButton(), Qt::LeftButton);
        ASSERT_TRUE(driver.driven());
        EXPECT_FALSE(driver.timedOut());
        EXPECT_EQ(filters, QStringList{QStringLiteral("Wave (*.wav)")});
        EXPECT_EQ(shown.dialog.waveEdit()->editor()->text(), Quoted(files.existing));
        shown.ok();
        EXPECT_EQ(core.dm->settings().WAVEFILE, EncodeWindows1250(files.existing));
    });
}

TEST(SettingsDialog, TheTableSizeItemIsTheNearestOfTheSix)
{
    EXPECT_EQ(TfSet::NearestMaxRecsItem(32), 0);
    EXPECT_EQ(TfSet::NearestMaxRecsItem(0), 0);
    EXPECT_EQ(TfSet::NearestMaxRecsItem(-5), 0);
    EXPECT_EQ(TfSet::NearestMaxRecsItem(std::numeric_limits<qint32>::min()), 0);
    EXPECT_EQ(TfSet::NearestMaxRecsItem(47), 0);
    EXPECT_EQ(TfSet::NearestMaxRecsItem(48), 1); // as near to 32 as to 64: the larger
    EXPECT_EQ(TfSet::NearestMaxRecsItem(100), 2);
    EXPECT_EQ(TfSet::NearestMaxRecsItem(256), 3);
    EXPECT_EQ(TfSet::NearestMaxRecsItem(700), 4);
    EXPECT_EQ(TfSet::NearestMaxRecsItem(std::numeric_limits<qint32>::max()), 5);

    RUN_WINDOW_TEST([] {
        Core core("[TCPIP]\r\nPORT=40000\r\n[DATABASE]\r\nMAXRECS=100\r\n");
        {
            ShownDialog shown(*core.dm);
            EXPECT_TRUE(shown.dialog.recsItem(2)->isChecked());
            EXPECT_EQ(shown.dialog.recsItem(2)->text(), QStringLiteral("128"));
            shown.ok();
            EXPECT_EQ(core.dm->settings().MAXRECS, 128);
            EXPECT_EQ(Stored("DATABASE", "MAXRECS"), QByteArray("128"));
        }
        {
            ShownDialog shown(*core.dm);
            shown.pick(shown.dialog.recsItem(4));
            EXPECT_TRUE(shown.dialog.recsItem(4)->isChecked());
            shown.ok();
            EXPECT_EQ(core.dm->settings().MAXRECS, 512);
        }
    });
}

TEST(SettingsDialog, StornoAndEscapeLeaveTheSettingsAndTheFileAsTheyWere)
{
    RUN_WINDOW_TEST([] {
        Core core("; the station's settings\r\n[TCPIP]\r\nPORT=40000\r\nIDENT=Recepce\r\n"
                  "USEIP=2\r\n[DATABASE]\r\nMAXRECS=100\r\n");
        const QByteArray before = FileBytes(UsedSettingsPath());
        const TStationSettings old = core.dm->settings();
        const auto unchanged = [&old, &core] {
            const TStationSettings &now = core.dm->settings();
            return now.USEIP == old.USEIP && now.IDENT == old.IDENT && now.PORT == old.PORT
                   && now.MAXRECS == old.MAXRECS && now.MAXIMIZE == old.MAXIMIZE
                   && now.PLAYWAVE == old.PLAYWAVE && now.WAVEFILE == old.WAVEFILE;
        };
        for (const bool escape : {false, true}) {
            ShownDialog shown(*core.dm);
            shown.replaceText(shown.dialog.nameEdit(), QStringLiteral("Jiny"));
            shown.replaceText(shown.dialog.portEdit(), QStringLiteral("5000"));
            QTest::mouseClick(shown.dialog.ipBox(), Qt::LeftButton);
            shown.pick(shown.dialog.recsItem(5));
            ASSERT_TRUE(shown.dialog.recsItem(5)->isChecked());
            QTest::mouseClick(shown.dialog.openBox(), Qt::LeftButton);
            QTest::mouseClick(shown.dialog.waveBox(), Qt::LeftButton);
            if (escape)
                QTest::keyClick(shown.dialog.nameEdit(), Qt::Key_Escape);
            else
                QTest::mouseClick(shown.dialog.cancelButton(), Qt::LeftButton);
            EXPECT_FALSE(shown.dialog.isVisible());
            EXPECT_EQ(shown.dialog.result(), QDialog::Rejected);
            EXPECT_TRUE(unchanged());
            EXPECT_EQ(FileBytes(UsedSettingsPath()), before);
        }
    });
}

TEST(SettingsDialog, OpenSettingsDialogTellsWhetherOkWasPressedAndEnterPressesNothing)
{
    RUN_WINDOW_TEST([] {
        Core core;
        const QByteArray before = FileBytes(UsedSettingsPath());
        bool openAfterEnter = false;
        {
            ModalDriver<TfSet> driver([&](TfSet &dialog) {
                QTest::keyClick(dialog.nameEdit(), Qt::Key_Return);
                QTest::keyClick(dialog.ipBox(), Qt::Key_Return);
                openAfterEnter = dialog.isVisible();
                QTest::mouseClick(dialog.cancelButton(), Qt::LeftButton);
            });
            EXPECT_FALSE(OpenSettingsDialog(*core.dm, nullptr));
            EXPECT_TRUE(driver.driven());
            EXPECT_FALSE(driver.timedOut());
        }
        EXPECT_TRUE(openAfterEnter);
        EXPECT_EQ(FileBytes(UsedSettingsPath()), before);

        ModalDriver<TfSet> driver(
                [](TfSet &dialog) { QTest::mouseClick(dialog.okButton(), Qt::LeftButton); });
        EXPECT_TRUE(OpenSettingsDialog(*core.dm, nullptr));
        EXPECT_FALSE(driver.timedOut());
        EXPECT_EQ(Stored("TCPIP", "IDENT"), QByteArray("PC7"));
    });
}

TEST(SettingsDialog, AFailedSaveIsShownAndTheDialogStaysForAnotherTry)
{
    RUN_WINDOW_TEST([] {
        Core core;
        const QByteArray before = FileBytes(UsedSettingsPath());
        BoxAnswerer cancel(QMessageBox::Cancel);
        ShownDialog shown(*core.dm);
        shown.replaceText(shown.dialog.nameEdit(), QStringLiteral("Nova"));
        {
            const FileSizeLimit limit(before.size());
            ASSERT_TRUE(limit.active());
            shown.ok();
        }
        ASSERT_EQ(cancel.questions.size(), 1u);
        EXPECT_TRUE(cancel.questions[0].startsWith(QStringLiteral("Unable to write to ")));
        EXPECT_TRUE(shown.dialog.isVisible());
        EXPECT_EQ(core.dm->settings().IDENT, QByteArray("Nova"));
        EXPECT_EQ(FileBytes(UsedSettingsPath()), before);

        shown.ok();
        EXPECT_FALSE(shown.dialog.isVisible());
        EXPECT_EQ(shown.dialog.result(), QDialog::Accepted);
        EXPECT_EQ(Stored("TCPIP", "IDENT"), QByteArray("Nova"));
    });
}

#include "core/udm.h"
#include "headless/printedboxes.h"
#include "platform/codepage.h"
#include "platform/ui/messagebox.h"
#include "tools/loopback.h"
#include "tools/udppeer.h"
#include "ui/fmMain.h"
#include "ui/historygrid.h"
#include "widgettree.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimer>
#include <QTreeView>

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

// Pictures of the real station for the documentation: the real window over a real core, fed
// through real datagrams, drawn by the offscreen platform so that no display is needed. The
// station's port is fixed, so everything happens in a network namespace of this process's own.

namespace {

// The station listens away from the protocol port so that the stand-in partners can hold it:
// every datagram of the station goes to port 34888 of its partner.
constexpr quint16 kShotStationPort = 40000;
constexpr quint16 kProtocolPort = 34888;
constexpr int kWaitMs = 30000;
// What the calling script and the test take for "cannot be done on this machine".
constexpr int kCannotRunHere = 77;

QByteArray Cp1250(const char *utf8)
{
    return EncodeWindows1250(QString::fromUtf8(utf8));
}

// The partners on the other desks: one socket on the protocol port of the loopback address.
class Partners
{
public:
    bool bound() const { return m_socket.bound(); }

    void send(const QByteArray &datagram) const
    {
        m_socket.sendTo("127.0.0.1", kShotStationPort, datagram);
    }

    // What the station sent, waiting with the event loop running until count datagrams came.
    std::vector<QByteArray> take(std::size_t count) const
    {
        std::vector<QByteArray> datagrams;
        // Whatever has come when the wait ends is the answer; the caller counts it.
        static_cast<void>(QTest::qWaitFor(
                [&] {
                    for (QByteArray &datagram : m_socket.receiveAll())
                        datagrams.push_back(std::move(datagram));
                    return datagrams.size() >= count;
                },
                kWaitMs));
        return datagrams;
    }

private:
    UdpPeer m_socket{"127.0.0.1", kProtocolPort};
};

// The station as a user finds it after a morning's work, in fresh settings and a fresh
// current directory with an address book of an office.
struct Scene
{
    bool prepare()
    {
        if (!home.isValid() || !desk.isValid())
            return false;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
        QDir::setCurrent(desk.path());
        QFile settings(home.filePath(QStringLiteral("veltrin.ini")));
        if (!settings.open(QIODevice::WriteOnly))
            return false;
        settings.write("[TCPIP]\r\nPORT=" + QByteArray::number(kShotStationPort)
                       + "\r\nIDENT=Recepce\r\n[SIZE]\r\nHEIGHT=460\r\nWIDTH=720\r\nTOP=8\r\n"
                         "LEFT=8\r\nSPLITTER0=170\r\nSPLITTER1=90\r\nSPLITTER3=64\r\n");
        settings.close();
        QFile book(QStringLiteral("recpt.dat"));
        if (!book.open(QIODevice::WriteOnly))
            return false;
        // Records of three lines: a group, a recipient of "Všichni", a member of a group.
        book.write(Cp1250("G\r\nVšichni\r\nVšichni\r\n"
                          "G\r\nObchod\r\nObchod\r\n"
                          "0\r\nJana Nováková\r\nPC12\r\n"
                          "0\r\nPetr Dvořák\r\nPC14\r\n"
                          "0\r\nLucie Černá\r\nPC21\r\n"
                          "0\r\nTomáš Řezníček\r\nPC3\r\n"
                          "0\r\nSklad\r\nPC30\r\n"
                          "Obchod\r\nPetr Dvořák\r\nPC14\r\n"
                          "Obchod\r\nLucie Černá\r\nPC21\r\n"));
        return true;
    }

    bool start()
    {
        dm = std::make_unique<Tdm>(boxes, [] { return QByteArray("PC7"); });
        if (!dm->started())
            return false;
        // Ticks are driven here, so that what the picture shows does not depend on timing.
        dm->stopClock();
        window = std::make_unique<TfMain>(*dm, nullptr, TfMain::Tray::Available);
        window->show();
        return QTest::qWaitFor([&] { return window->isVisible(); }, kWaitMs);
    }

    // Messages that came in from three desks, and two that went out: one confirmed, one still
    // waiting in the queue.
    bool fill(Partners &partners)
    {
        const std::vector<QByteArray> incoming{
                Cp1250("=PC14~7|Petr Dvořák|Objednávka pro Brno odešla, faktura přijde "
                       "zítra."),
                Cp1250("=PC30~2|Sklad|Zboží pro Obchod je připravené k vyzvednutí."),
                Cp1250("=PC12~3|Jana Nováková|Dobrý den, v 10:00 je porada v zasedačce. "
                       "Prosím přineste čísla za říjen."),
        };
        for (const QByteArray &datagram : incoming)
            partners.send(datagram);
        if (partners.take(incoming.size()).size() != incoming.size())
            return false; // the confirmations
        const QAbstractItemModel *received = window->receivedGrid()->model();
        if (!QTest::qWaitFor([&] { return received->rowCount() == int(incoming.size()); }, kWaitMs))
            return false;

        dm->QueueMessage(Cp1250("Jana Nováková"),
                         "127.0.0.1",
                         Cp1250("Děkuji, přijdu. Čísla za říjen přinesu."));
        dm->timTimer();
        const std::vector<QByteArray> sent = partners.take(1);
        if (sent.size() != 1)
            return false;
        partners.send("#" + sent.front().mid(1, sent.front().indexOf('|') - 1));
        if (!QTest::qWaitFor([&] { return dm->outboundQueue().empty(); }, kWaitMs))
            return false;
        dm->QueueMessage(Cp1250("Lucie Černá"), "127.0.0.1", Cp1250("Zítra budu až od devíti."));
        if (!QTest::qWaitFor([&] { return window->queueView()->model()->rowCount() == 1; },
                             kWaitMs))
            return false;

        window->pages()->setCurrentIndex(0);
        return QTest::qWaitFor([&] { return !window->receivedBody()->toPlainText().isEmpty(); },
                               kWaitMs);
    }

    QTemporaryDir home;
    QTemporaryDir desk;
    PrintedBoxes boxes;
    std::unique_ptr<Tdm> dm;
    std::unique_ptr<TfMain> window;
};

// The picture, and beside it (".tree" for ".png") what the window says and its tab order, so
// that the picture and the check of its texts come from one and the same window.
bool Save(QWidget *widget, const QString &path)
{
    // Whatever is still queued for painting goes in first.
    QApplication::processEvents();
    if (!widget->grab().save(path, "PNG"))
        return false;
    QString treePath = path;
    if (treePath.endsWith(QLatin1String(".png")))
        treePath.chop(4);
    QFile tree(treePath + QStringLiteral(".tree"));
    if (!tree.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QTextStream out(&tree);
    for (const QString &line : DescribeWidgetTree(widget))
        out << line << '\n';
    out.flush();
    return out.status() == QTextStream::Ok && tree.flush();
}

// Selects the tree's nodes of these names, as a user's clicks would, in the group of that
// name or, for a bare name, wherever it first stands.
bool SelectInTree(QTreeView *tree, const QStringList &names)
{
    const QAbstractItemModel *model = tree->model();
    QItemSelectionModel *selection = tree->selectionModel();
    selection->clearSelection();
    int found = 0;
    for (const QString &name : names) {
        for (int group = 0; group < model->rowCount(); ++group) {
            const QModelIndex groupIndex = model->index(group, 0);
            if (groupIndex.data().toString() == name) {
                selection->select(groupIndex, QItemSelectionModel::Select);
                selection->setCurrentIndex(groupIndex, QItemSelectionModel::NoUpdate);
                ++found;
                break;
            }
            tree->expand(groupIndex);
            bool inGroup = false;
            for (int row = 0; row < model->rowCount(groupIndex); ++row) {
                const QModelIndex node = model->index(row, 0, groupIndex);
                if (node.data().toString() == name) {
                    selection->select(node, QItemSelectionModel::Select);
                    selection->setCurrentIndex(node, QItemSelectionModel::NoUpdate);
                    inGroup = true;
                    break;
                }
            }
            if (inGroup) {
                ++found;
                break;
            }
        }
    }
    return found == names.size();
}

// The window's commands open their dialogs modally and return only once they are closed, so
// the dialog is grabbed from inside its own event loop and then closed.
bool SaveModal(const std::function<void()> &open,
               const QString &path,
               const std::function<void(QWidget *)> &prepare = {})
{
    bool saved = false;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog || !dialog->isVisible())
            return;
        poll.stop();
        if (prepare)
            prepare(dialog);
        saved = Save(dialog, path);
        dialog->close();
    });
    // A dialog that never closes would otherwise hold the program.
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [] {
        if (QWidget *dialog = QApplication::activeModalWidget())
            dialog->close();
    });
    poll.start();
    deadline.start(kWaitMs);
    open();
    return saved;
}

// Each picture by name, over the filled scene; a dialog's mode opens it through the window's
// own command, so the picture shows it as the user meets it.
struct Shot
{
    const char *mode;
    std::function<bool(Scene &, const QString &)> take;
};

const std::vector<Shot> &Shots()
{
    static const std::vector<Shot> shots{
            {"main",
             [](Scene &scene, const QString &path) {
                 return Save(scene.window.get(), path);
             }},
            {"compose",
             [](Scene &scene, const QString &path) {
                 if (!SelectInTree(
                             scene.window->tree(),
                             {QStringLiteral("Jana Nováková"), QStringLiteral("Petr Dvořák")}))
                     return false;
                 return SaveModal([&] { scene.window->writeNewMessage(); },
                                  path,
                                  [](QWidget *dialog) {
                                      if (auto *body = dialog->findChild<QPlainTextEdit *>())
                                          body->setPlainText(QString::fromUtf8(
                                                  "Porada se přesouvá na 14:00.\nPřineste "
                                                  "prosím podklady k rozpočtu."));
                                  });
             }},
            {"settings",
             [](Scene &scene, const QString &path) {
                 return SaveModal([&] { scene.window->editSettings(); }, path);
             }},
            {"members",
             [](Scene &scene, const QString &path) {
                 if (!SelectInTree(scene.window->tree(), {QStringLiteral("Obchod")}))
                     return false;
                 return SaveModal([&] { scene.window->editMembership(); }, path);
             }},
            {"about",
             [](Scene &scene, const QString &path) {
                 return SaveModal([&] { scene.window->showAbout(); }, path);
             }},
            {"recipient",
             [](Scene &scene, const QString &path) {
                 return SaveModal([&] { scene.window->newRecipient(); }, path);
             }},
            {"group",
             [](Scene &scene, const QString &path) {
                 return SaveModal([&] { scene.window->newGroup(); }, path);
             }},
    };
    return shots;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: veltrin-screenshot MODE FILE.png (and FILE.tree beside it)\nmodes:");
    for (const Shot &shot : Shots())
        std::fprintf(stderr, " %s", shot.mode);
    std::fprintf(stderr, "\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3)
        return Usage();
    const Shot *shot = nullptr;
    for (const Shot &candidate : Shots()) {
        if (std::strcmp(candidate.mode, argv[1]) == 0)
            shot = &candidate;
    }
    if (!shot)
        return Usage();

    // Before any thread exists, so that every thread of the process lives in the namespace.
    if (::unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp()) {
        std::fprintf(stderr,
                     "veltrin-screenshot: cannot make a private network namespace (%s; it "
                     "needs root)\n",
                     std::strerror(errno));
        return kCannotRunHere;
    }
    // Taken before the scene moves into its own current directory.
    const QString path = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();
    // A private one, as a desktop session would give; without it the toolkit warns.
    QTemporaryDir runtime;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && runtime.isValid())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    // On a display (the script's Xvfb) the pictures are drawn as a desktop draws them; without
    // one, by the offscreen platform.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    Scene scene;
    if (!scene.prepare()) {
        std::fprintf(stderr, "veltrin-screenshot: cannot write the sample files\n");
        return 1;
    }
    Partners partners;
    if (!partners.bound()) {
        std::fprintf(stderr, "veltrin-screenshot: cannot bind the partners' port\n");
        return 1;
    }
    if (!scene.start() || !scene.fill(partners)) {
        std::fprintf(stderr, "veltrin-screenshot: the station did not show the sample\n");
        return 1;
    }
    if (!shot->take(scene, path)) {
        std::fprintf(stderr, "veltrin-screenshot: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}

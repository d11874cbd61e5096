#include <QApplication>
#include <QLabel>
#include <QMainWindow>

#include <cstring>

// The floor the start-up benchmark measures the station against: what the toolkit alone costs
// to bring an empty main window of the station's default size onto the screen. With "--text"
// the window shows one line of text, which is what the system's fonts cost on top of that.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Bare window"));
    if (argc > 1 && std::strcmp(argv[1], "--text") == 0)
        window.setCentralWidget(new QLabel(QStringLiteral("Přijaté zprávy")));
    window.resize(400, 350);
    window.show();
    return QApplication::exec();
}

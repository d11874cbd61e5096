#include <QApplication>
#include <QMainWindow>

// The floor the start-up benchmark measures the station against: what the toolkit alone costs
// to bring an empty main window of the station's default size onto the screen.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Bare window"));
    window.resize(400, 350);
    window.show();
    return QApplication::exec();
}

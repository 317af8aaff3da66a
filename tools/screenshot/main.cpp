// Saves what an X window shows as a PNG, for the documentation's screenshots
// (scripts/screenshots.sh):
//   corvane-screenshot <X window id> <file.png>
// Runs on the xcb platform of the display in DISPLAY; exits with 1 when the
// window cannot be read or the file not written.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    const QStringList arguments = QGuiApplication::arguments();
    bool ok = false;
    const WId window = arguments.size() == 3 ? arguments.at(1).toULongLong(&ok, 0) : 0;
    if (!ok) {
        std::fprintf(stderr, "usage: corvane-screenshot <X window id> <file.png>\n");
        return 2;
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    const QPixmap shot = screen != nullptr ? screen->grabWindow(window) : QPixmap();
    if (shot.isNull() || !shot.save(arguments.at(2), "PNG", 9)) {
        std::fprintf(stderr, "corvane-screenshot: cannot save window %s to %s\n", qPrintable(arguments.at(1)),
                     qPrintable(arguments.at(2)));
        return 1;
    }
    return 0;
}

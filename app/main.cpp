#include "window/MainWindow.h"

#include <QApplication>
#include <QScreen>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Kestrawin"));
    QApplication::setApplicationName(QStringLiteral("Quillbarrow"));

    MainWindow window;
    window.load();
    // Centred on the screen.
    if (const QScreen *screen = window.screen()) {
        const QRect area = screen->availableGeometry();
        const QSize frame = window.frameSize();
        window.move(area.center() - QPoint(frame.width() / 2, frame.height() / 2));
    }
    window.show();
    return app.exec();
}

// Until the main window exists the program opens a bare window.
#include <QApplication>
#include <QLabel>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Tavro2D");
    QApplication::setApplicationVersion("1.3.2");
    QApplication::setOrganizationName("Quillmar");
    QLabel window(QStringLiteral("Tavro2D"));
    window.setAlignment(Qt::AlignCenter);
    window.setWindowTitle(QStringLiteral("Tavro2D"));
    window.resize(1320, 700);
    window.show();
    return app.exec();
}

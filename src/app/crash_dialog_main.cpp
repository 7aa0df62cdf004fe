// Started by the crash handler as `tavro_crash_dialog caption text`: a crashed
// process cannot safely show a window itself.
#include <QApplication>
#include <QMessageBox>
#include <QString>

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    const QString caption = QString::fromLocal8Bit(argv[1]);
    const QString text = QString::fromLocal8Bit(argv[2]);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok);
    box.exec();
    return 0;
}

#include <QApplication>
#include <QLabel>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Glimmerworks");
    QLabel window("Glimmerworks");
    window.resize(800, 600);
    window.show();
    return app.exec();
}

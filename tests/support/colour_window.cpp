// A maximized window of one colour, #3366cc, for a desktop's frames to show.
#include <QGuiApplication>
#include <QPainter>
#include <QRasterWindow>

class ColourWindow : public QRasterWindow {
  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(QRect(QPoint(), size()), QColor(0x33, 0x66, 0xcc));
    }
};

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    ColourWindow window;
    window.showMaximized();
    return QGuiApplication::exec();
}

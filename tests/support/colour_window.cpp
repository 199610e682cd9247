// A maximized window of one colour, #3366cc, for a desktop's frames to show; or, given another
// colour (RRGGBB), a small window of that one.
#include <QGuiApplication>
#include <QPainter>
#include <QRasterWindow>

class ColourWindow : public QRasterWindow {
  public:
    QColor colour{0x33, 0x66, 0xcc};

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(QRect(QPoint(), size()), colour);
    }
};

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    ColourWindow window;
    if (argc > 1) {
        window.colour = QColor(QString("#") + argv[1]), window.resize(160, 120);
    }
    argc > 1 ? window.show() : window.showMaximized();
    return QGuiApplication::exec();
}

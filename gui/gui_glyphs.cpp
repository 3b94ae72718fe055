#include "gui/gui_glyphs.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>

#include "app/panel_layout.h"

namespace velk {

namespace {

// Paints a glyph into any rectangle; QIcon asks for pixmaps at the device pixel ratio, so the
// picture is drawn at full resolution instead of scaled from a small bitmap.
class GlyphEngine : public QIconEngine {
public:
    explicit GlyphEngine(Glyph glyph) : glyph_(glyph) {}
    QIconEngine* clone() const override { return new GlyphEngine(glyph_); }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->translate(rect.topLeft());
        const qreal s = std::min(rect.width(), rect.height()) / 24.0;
        painter->scale(s, s);
        draw(*painter, mode == QIcon::Disabled, state == QIcon::On, mode == QIcon::Active || mode == QIcon::Selected);
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override
    {
        QPixmap pm(size * scale);
        pm.fill(Qt::transparent);
        pm.setDevicePixelRatio(scale);
        QPainter p(&pm);
        paint(&p, QRect(QPoint(0, 0), size), mode, state);
        return pm;
    }

private:
    void draw(QPainter& p, bool disabled, bool on, bool active) const
    {
        const QColor ink = disabled ? QColor(150, 150, 150) : QColor(40, 60, 100);
        const QColor red = disabled ? QColor(190, 160, 160) : QColor(215, 30, 30);
        QPen pen(ink, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        switch (glyph_) {
        case Glyph::Browser:
            p.setBrush(disabled ? QColor(230, 230, 230) : QColor(225, 235, 250));
            p.drawRoundedRect(QRectF(3, 4, 18, 16), 2, 2);
            for (int i = 0; i < 3; ++i) {
                p.setBrush(red);
                p.drawEllipse(QPointF(7, 8.5 + 4 * i), 1.3, 1.3);
                p.drawLine(QPointF(10, 8.5 + 4 * i), QPointF(18, 8.5 + 4 * i));
            }
            break;
        case Glyph::Logs:
            p.setBrush(disabled ? QColor(235, 235, 235) : Qt::white);
            p.drawRect(QRectF(5, 3, 14, 18));
            for (int i = 0; i < 4; ++i)
                p.drawLine(QPointF(8, 7.5 + 3.5 * i), QPointF(16, 7.5 + 3.5 * i));
            break;
        case Glyph::Settings:
            for (int i = 0; i < 3; ++i) {
                const qreal x = 6 + 6 * i;
                p.drawLine(QPointF(x, 4), QPointF(x, 20));
                p.setBrush(disabled ? QColor(200, 200, 200) : QColor(90, 140, 210));
                p.drawRect(QRectF(x - 2.5, (i == 1 ? 13 : 7) - 1.5, 5, 3));
            }
            break;
        case Glyph::Scheduler:
            p.setBrush(disabled ? QColor(235, 235, 235) : Qt::white);
            p.drawEllipse(QPointF(12, 12), 8.5, 8.5);
            p.drawLine(QPointF(12, 12), QPointF(12, 6.5));
            p.drawLine(QPointF(12, 12), QPointF(16, 14));
            break;
        case Glyph::AddChannel:
            p.drawRoundedRect(QRectF(3, 8, 13, 8), 1.5, 1.5);
            p.setPen(QPen(disabled ? ink : QColor(0, 128, 0), 2.4, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(19, 5), QPointF(19, 15));
            p.drawLine(QPointF(14, 10), QPointF(24 - 0.5, 10));
            break;
        case Glyph::StartAll:
            p.setPen(QPen(red.darker(140), 1.2));
            p.setBrush(red);
            p.drawEllipse(QPointF(12, 12), 7.5, 7.5);
            break;
        case Glyph::StopAll:
            p.setPen(QPen(ink.darker(120), 1.2));
            p.setBrush(disabled ? QColor(170, 170, 170) : QColor(60, 60, 70));
            p.drawRoundedRect(QRectF(5, 5, 14, 14), 1.5, 1.5);
            break;
        case Glyph::Help: {
            p.setBrush(disabled ? QColor(200, 200, 200) : QColor(50, 110, 200));
            p.setPen(Qt::NoPen);
            p.drawEllipse(QPointF(12, 12), 9, 9);
            QFont f;
            f.setPixelSize(14);
            f.setBold(true);
            p.setFont(f);
            p.setPen(Qt::white);
            p.drawText(QRectF(3, 3, 18, 18), Qt::AlignCenter, QStringLiteral("?"));
            break;
        }
        case Glyph::Record: {
            // Down: a lit dot in a dark ring; up: a dull dot.
            p.setPen(QPen(QColor(70, 70, 70), 1.0));
            p.setBrush(on ? QColor(60, 20, 20) : QColor(235, 235, 235));
            p.drawEllipse(QPointF(12, 12), 10, 10);
            QColor dot = disabled ? QColor(180, 170, 170) : on ? QColor(255, 40, 40) : QColor(170, 40, 40);
            if (active && !disabled && !on)
                dot = dot.lighter(120);
            p.setPen(Qt::NoPen);
            p.setBrush(dot);
            p.drawEllipse(QPointF(12, 12), 5.5, 5.5);
            break;
        }
        case Glyph::Program: {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(28, 60, 125));
            p.drawRoundedRect(QRectF(1, 1, 22, 22), 4, 4);
            p.setBrush(QColor(255, 50, 50));
            p.drawEllipse(QPointF(12, 12), 5, 5);
            break;
        }
        }
    }

    Glyph glyph_;
};

}  // namespace

QIcon glyphicon(Glyph glyph)
{
    return QIcon(new GlyphEngine(glyph));
}

QImage meterpicture()
{
    QImage img(meterpicturewidth, meterpictureheight, QImage::Format_RGB888);
    for (int half = 0; half < 2; ++half) {
        const bool lit = half == 1;
        for (int y = 0; y < meterheight; ++y) {
            // A vertical gradient, brighter in the middle rows, so the bar looks round.
            const double shade = 1.0 - std::abs(y - 7.5) / 12.0;
            const QColor body = lit ? QColor(int(40 * shade), int(235 * shade), int(70 * shade))
                                    : QColor(int(25 + 30 * shade), int(45 + 40 * shade), int(35 + 30 * shade));
            for (int x = 0; x < meterpicturewidth; ++x) {
                QColor c = body;
                const bool edge = y == 0 || y == meterheight - 1 || x == 0 || x == meterpicturewidth - 1;
                if (edge)
                    c = QColor(20, 20, 20);
                else if (x < 5 || x >= meterpicturewidth - 5)
                    c = lit ? QColor(30, 150, 50) : QColor(40, 50, 45);  // the meter's ends
                img.setPixelColor(x, y + half * meterheight, c);
            }
        }
    }
    return img;
}

QImage meterbitmap(const QImage& picture, int width)
{
    width = std::clamp(width, 10, maxpanelwidth);
    QImage img(width, meterpictureheight, QImage::Format_RGB888);
    // The ends are copied, the sixth column is stretched over the middle: block copies, so the
    // cost does not grow with the width pixel by pixel.
    QPainter p(&img);
    const QImage source = picture.convertToFormat(QImage::Format_RGB888);
    p.drawImage(QPoint(0, 0), source, QRect(0, 0, 5, meterpictureheight));
    p.drawImage(QPoint(width - 5, 0), source, QRect(meterpicturewidth - 5, 0, 5, meterpictureheight));
    const QImage column = source.copy(5, 0, 1, meterpictureheight);
    p.drawImage(QRect(5, 0, width - 10, meterpictureheight), column);
    p.end();
    return img;
}

}  // namespace velk

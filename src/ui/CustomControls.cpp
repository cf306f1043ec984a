#include "ui/CustomControls.h"

#include <QPainter>
#include <QPainterPath>
#include <QTextDocument>

namespace ui {

QString plainToolTip(const QString& text) {
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text) : text;
}

QString CustomMenu::menuText(QString title) {
    return title.replace('&', QStringLiteral("&&"));
}

QAction* CustomMenu::addItemWithTitle(const QString& title) {
    if (title == "---")
        return addSeparator();
    return addAction(menuText(title));
}

QAction* CustomMenu::insertItemWithTitle(const QString& title, int index) {
    const auto list = actions();
    QAction* before = index >= 0 && index < list.size() ? list[index] : nullptr;
    if (title == "---")
        return insertSeparator(before);
    auto* action = new QAction(menuText(title), this);
    insertAction(before, action);
    return action;
}

RoundedColorButton::RoundedColorButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
}

QColor RoundedColorButton::currentBackground() const {
    if (isDown())
        return highlightColor;
    return isEnabled() ? bgColor : disabledColor;
}

QSize RoundedColorButton::sizeHint() const {
    const QSize text = fontMetrics().size(Qt::TextSingleLine, QPushButton::text());
    return {text.width() + 28, std::max(28, text.height() + 12)};
}

void RoundedColorButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor bg = currentBackground();
    if (isEnabled() && !isDown() && underMouse())
        bg = bg.lighter(118);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius, cornerRadius);
    p.fillPath(path, bg);
    QColor fg = foreColor;
    if (!isEnabled())
        fg.setAlpha(110);
    p.setPen(fg);
    p.drawText(rect(), Qt::AlignCenter, text());
    if (hasFocus())
        paintFocusRing(p, rect(), cornerRadius);
}

void paintFocusRing(QPainter& painter, const QRectF& rect, double radius) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x8c, 0xb8, 0xff), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(rect.adjusted(1, 1, -1, -1), radius, radius);
    painter.restore();
}

TranslucentView::TranslucentView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
}

void TranslucentView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor(0, 0, 0, 204));
}

ToggleSwitch::ToggleSwitch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFixedSize(sizeHint());
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
    const double radius = r.height() / 2;
    p.setPen(Qt::NoPen);
    p.setBrush(isChecked() ? QColor(0x3d, 0x7b, 0xd9) : QColor(0x4a, 0x4a, 0x4e));
    p.drawRoundedRect(r, radius, radius);
    const double d = r.height() - 4;
    const double x = isChecked() ? r.right() - 2 - d : r.left() + 2;
    p.setBrush(QColor(0xf2, 0xf2, 0xf2));
    p.drawEllipse(QRectF(x, r.top() + 2, d, d));
    if (hasFocus())
        paintFocusRing(p, rect(), radius + 1);
}

Spinner::Spinner(QWidget* parent) : QWidget(parent) {
    timer_.setInterval(40);
    connect(&timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
    setFixedSize(sizeHint());
    hide();
}

void Spinner::setSpinning(bool on) {
    if (on) {
        timer_.start();
        show();
    } else {
        timer_.stop();
        hide();
    }
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(0xd0, 0xd0, 0xd4), 2.2);
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    const QRectF r = QRectF(rect()).adjusted(2, 2, -2, -2);
    p.drawArc(r, -angle_ * 16, 270 * 16);
}

} // namespace ui

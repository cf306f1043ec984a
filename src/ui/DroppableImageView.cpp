#include "ui/DroppableImageView.h"

#include <QDragEnterEvent>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>

namespace ui {

DroppableImageView::DroppableImageView(QWidget* parent) : QWidget(parent) {
    setAcceptDrops(true);
    setMinimumSize(200, 150);
    // While the view is being resized the last smooth copy is stretched; a new one is made
    // once the size has settled.
    rescale_.setSingleShot(true);
    rescale_.setInterval(120);
    connect(&rescale_, &QTimer::timeout, this, [this] {
        scaled_ = QPixmap();
        update();
    });
}

void DroppableImageView::setImage(const QImage& image) {
    image_ = image;
    scaled_ = QPixmap();
    update();
}

void DroppableImageView::setPlaceholder(const QString& title, const QString& detail) {
    title_ = title;
    detail_ = detail;
    update();
}

void DroppableImageView::setDropZoneStyle(bool on) {
    dropZone_ = on;
    update();
}

QList<QUrl> DroppableImageView::fileUrls(const QMimeData* mime) {
    QList<QUrl> urls;
    if (!mime)
        return urls;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile())
            urls.push_back(url);
    return urls;
}

QRect DroppableImageView::imageRect() const {
    if (image_.isNull())
        return {};
    const QRect area = rect().adjusted(12, 12, -12, -12);
    QSize size = image_.size();
    // Never enlarged beyond one image pixel per device pixel: small images stay sharp.
    const double dpr = devicePixelRatioF();
    const QSize natural(int(size.width() / dpr), int(size.height() / dpr));
    if (natural.width() > area.width() || natural.height() > area.height())
        size = natural.scaled(area.size(), Qt::KeepAspectRatio);
    else
        size = natural;
    return QRect(area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2,
                 size.width(), size.height());
}

void DroppableImageView::resizeEvent(QResizeEvent* event) {
    if (!scaled_.isNull())
        rescale_.start();
    QWidget::resizeEvent(event);
}

void DroppableImageView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), dropZone_ ? QColor(0x1b, 0x1b, 0x1d) : QColor(0x141416));
    if (!image_.isNull()) {
        const QRect r = imageRect();
        const double dpr = devicePixelRatioF();
        const QSize device(int(r.width() * dpr), int(r.height() * dpr));
        // A smooth copy is made for one size in device pixels at one pixel ratio; once a resize
        // has settled, a copy made for anything else is made anew.
        if (scaled_.isNull() ||
            (!rescale_.isActive() && (scaledFor_ != device || scaled_.devicePixelRatio() != dpr))) {
            scaled_ =
                QPixmap::fromImage(image_.scaled(device, Qt::KeepAspectRatio, Qt::SmoothTransformation));
            scaled_.setDevicePixelRatio(dpr);
            scaledFor_ = device;
        }
        // A checkerboard shows where the result is transparent.
        if (image_.hasAlphaChannel()) {
            const int s = 8;
            for (int y = r.top(); y < r.bottom(); y += s)
                for (int x = r.left(); x < r.right(); x += s)
                    p.fillRect(QRect(x, y, s, s).intersected(r), ((x - r.left()) / s + (y - r.top()) / s) % 2
                                                                     ? QColor(0x2c, 0x2c, 0x2e)
                                                                     : QColor(0x38, 0x38, 0x3a));
        }
        // Always into the fitted rectangle: the whole picture, whichever copy is at hand (one
        // drawn at its own size would show a crop of it if its pixel ratio were not the view's).
        // While a resize settles the last copy is stretched.
        p.drawPixmap(r, scaled_);
    } else if (!title_.isEmpty()) {
        QRectF area = QRectF(rect()).adjusted(16, 16, -16, -16);
        if (dropZone_) {
            QPen pen(dragging_ ? QColor(0x3d, 0x7b, 0xd9) : QColor(0x4a, 0x4a, 0x50), 2, Qt::DashLine);
            p.setPen(pen);
            p.setBrush(dragging_ ? QBrush(QColor(0x3d, 0x7b, 0xd9, 30)) : QBrush(Qt::NoBrush));
            p.drawRoundedRect(area, 14, 14);
            // A simple picture glyph above the text.
            const QPointF c = area.center() - QPointF(0, 46);
            QRectF frame(c.x() - 30, c.y() - 22, 60, 44);
            p.setPen(QPen(QColor(0x8a, 0x8a, 0x90), 2));
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(frame, 5, 5);
            QPainterPath hills;
            hills.moveTo(frame.left() + 6, frame.bottom() - 6);
            hills.lineTo(frame.left() + 22, frame.top() + 20);
            hills.lineTo(frame.left() + 34, frame.bottom() - 14);
            hills.lineTo(frame.left() + 42, frame.top() + 26);
            hills.lineTo(frame.right() - 6, frame.bottom() - 6);
            p.drawPath(hills);
            p.drawEllipse(QPointF(frame.right() - 14, frame.top() + 12), 4, 4);
        }
        QFont big = font();
        big.setPointSizeF(big.pointSizeF() * 1.35);
        big.setBold(true);
        p.setFont(big);
        p.setPen(QColor(0xc8, 0xc8, 0xcc));
        const QRectF titleRect(area.left(), area.center().y() - 6, area.width(), 28);
        p.drawText(titleRect, Qt::AlignCenter, title_);
        p.setFont(font());
        p.setPen(QColor(0x86, 0x86, 0x8c));
        p.drawText(QRectF(area.left(), titleRect.bottom() + 2, area.width(), 40),
                   Qt::AlignHCenter | Qt::AlignTop, detail_);
    }
    if (dragging_ && !dropZone_) {
        p.setPen(QPen(QColor(0x3d, 0x7b, 0xd9), 3));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5));
    }
}

void DroppableImageView::dragEnterEvent(QDragEnterEvent* event) {
    // Only files are images to add: a workflow step or a text dragged here is no import.
    if (fileUrls(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    dragging_ = true;
    update();
}

void DroppableImageView::dragMoveEvent(QDragMoveEvent* event) {
    if (fileUrls(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void DroppableImageView::dragLeaveEvent(QDragLeaveEvent* event) {
    dragging_ = false;
    update();
    QWidget::dragLeaveEvent(event);
}

void DroppableImageView::dropEvent(QDropEvent* event) {
    dragging_ = false;
    update();
    const QList<QUrl> urls = fileUrls(event->mimeData());
    if (urls.isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    if (onDrop)
        onDrop(urls);
}

} // namespace ui

#pragma once

// An image view that also takes dropped files: the main preview and the drop zone shown while
// the queue is empty. A drag that carries files is answered with copy, anything else is refused;
// a drop hands its file URLs to onDrop.

#include <QImage>
#include <QList>
#include <QMimeData>
#include <QPixmap>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <functional>

namespace ui {

class DroppableImageView : public QWidget {
    Q_OBJECT
  public:
    explicit DroppableImageView(QWidget* parent = nullptr);

    std::function<void(const QList<QUrl>&)> onDrop = [](const QList<QUrl>&) {};

    void setImage(const QImage& image);
    const QImage& image() const { return image_; }
    /// Text shown while there is no image.
    void setPlaceholder(const QString& title, const QString& detail = {});
    const QString& placeholderTitle() const { return title_; }
    /// Drawn as a dashed drop area rather than a plain image well.
    void setDropZoneStyle(bool on);
    bool isDragHighlighted() const { return dragging_; }

    /// The file URLs of a drop, in order (what performDragOperation collects).
    static QList<QUrl> fileUrls(const QMimeData* mime);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    QRect imageRect() const;

    QImage image_;
    QPixmap scaled_;
    QSize scaledFor_; ///< the size in device pixels scaled_ was made for
    QTimer rescale_;
    QString title_;
    QString detail_;
    bool dropZone_ = false;
    bool dragging_ = false;
};

} // namespace ui

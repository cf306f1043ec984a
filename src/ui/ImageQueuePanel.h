#pragma once

// The image queue table (name, size, dimensions, type, remove; sortable; a drop target of
// files) and the metadata table of the selected image.

#include "app/AppDelegate.h"

#include <QAbstractTableModel>
#include <QTableView>
#include <QWidget>

class QSortFilterProxyModel;
class QTableWidget;
class QLabel;
class QPushButton;

namespace ui {

class ImageQueueModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column { Name, Size, Dimensions, Type, Remove, ColumnCount };
    static constexpr int SortRole = Qt::UserRole + 1;

    explicit ImageQueueModel(app::AppDelegate& delegate, QObject* parent = nullptr);
    void reset();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    Qt::DropActions supportedDropActions() const override { return Qt::CopyAction; }

  private:
    app::AppDelegate& delegate_;
};

/// The queue table: drops of files go to the controller at the row they land on.
class ImageQueueTable : public QTableView {
    Q_OBJECT
  public:
    explicit ImageQueueTable(app::AppDelegate& delegate, QWidget* parent = nullptr);
    /// The queue position of a drop at `pos` (in viewport coordinates).
    qint64 dropRowAt(const QPoint& pos) const;

  Q_SIGNALS:
    /// The remove mark of a row was clicked, or Delete pressed on it (index of the table's model).
    void removeClicked(const QModelIndex& index);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    app::AppDelegate& delegate_;
    QPersistentModelIndex pressedRemove_;
};

class ImageQueuePanel : public QWidget {
    Q_OBJECT
  public:
    explicit ImageQueuePanel(app::AppDelegate& delegate, QWidget* parent = nullptr);

    ImageQueueTable* table() const { return table_; }
    ImageQueueModel* model() const { return model_; }
    QSortFilterProxyModel* proxy() const { return proxy_; }
    QTableWidget* detailsTable() const { return details_; }
    QPushButton* addButton() const { return add_; }
    QPushButton* removeAllButton() const { return removeAll_; }
    QPushButton* exportButton() const { return export_; }

  private:
    void imagesChanged();
    void showSelection();
    void userSelected();
    void showDetails();

    app::AppDelegate& delegate_;
    ImageQueueModel* model_;
    QSortFilterProxyModel* proxy_;
    ImageQueueTable* table_;
    QTableWidget* details_;
    QLabel* count_;
    QPushButton* add_;
    QPushButton* removeAll_;
    QPushButton* export_;
    bool syncing_ = false;
};

} // namespace ui

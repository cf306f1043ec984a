#pragma once

// The library: the photo effects / actions switch, the categories of the library shown, a grid
// of the chosen category's entries with their sample thumbnails, and the add button. The grid
// is a drag source of workflow steps.

#include "app/AppDelegate.h"

#include <QAbstractListModel>
#include <QHash>
#include <QImage>
#include <QPixmap>
#include <QWidget>

class QListView;
class QListWidget;
class QLabel;
class QPushButton;

namespace ui {

/// A library entry's thumbnail from its sample picture, in the pixels of a screen with the given
/// device pixel ratio (its size in points stays the same on every screen).
QImage libraryThumbnail(const QImage& sample, double devicePixelRatio);

class LibraryModel : public QAbstractListModel {
    Q_OBJECT
  public:
    explicit LibraryModel(app::AppDelegate& delegate, QObject* parent = nullptr);

    /// Shows the entries of the category at `index` of the library shown (none for -1).
    void setCategory(int index);
    int category() const { return category_; }
    std::shared_ptr<model::Filter> entry(int row) const;
    /// The entry's index in the library view as the controller counts it (across categories).
    qint64 flatIndex(int row) const;
    void setThumbnail(const model::Filter* entry, const QPixmap& pixmap);
    void reset();

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction | Qt::MoveAction; }

  private:
    app::AppDelegate& delegate_;
    int category_ = -1;
    QHash<const model::Filter*, QPixmap> thumbnails_;
    QPixmap placeholder_;
};

class LibraryPanel : public QWidget {
    Q_OBJECT
  public:
    explicit LibraryPanel(app::AppDelegate& delegate, QWidget* parent = nullptr);

    QListView* entriesView() const { return entries_; }
    QListWidget* categoriesView() const { return categories_; }
    LibraryModel* model() const { return model_; }
    QPushButton* addButton() const { return add_; }
    QPushButton* effectsButton() const { return effects_; }
    QPushButton* actionsButton() const { return actions_; }

  private:
    void libraryChanged();
    void renderThumbnails(const app::Library& library);
    void selectionChanged();

    app::AppDelegate& delegate_;
    QPushButton* effects_;
    QPushButton* actions_;
    QLabel* title_;
    QListWidget* categories_;
    QListView* entries_;
    LibraryModel* model_;
    QPushButton* add_;
};

} // namespace ui

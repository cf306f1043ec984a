#include "ui/ImageQueuePanel.h"

#include "ui/CustomControls.h"
#include "ui/DroppableImageView.h"

#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

namespace ui {

// ---------------------------------------------------------------- model

ImageQueueModel::ImageQueueModel(app::AppDelegate& delegate, QObject* parent)
    : QAbstractTableModel(parent), delegate_(delegate) {}

void ImageQueueModel::reset() {
    beginResetModel();
    endResetModel();
}

int ImageQueueModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(delegate_.CurrentImages().size());
}

int ImageQueueModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ImageQueueModel::data(const QModelIndex& index, int role) const {
    const auto& images = delegate_.CurrentImages();
    if (!index.isValid() || index.row() >= int(images.size()) || !images[size_t(index.row())])
        return {};
    const auto& image = *images[size_t(index.row())];
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case Name:
            return image.filename();
        case Size:
            return image.filesize();
        case Dimensions:
            return image.dimensions();
        case Type:
            return image.filetype();
        case Remove:
            return QString::fromUtf8("\u2715");
        }
    } else if (role == SortRole) {
        switch (index.column()) {
        case Name:
            return image.filename().toLower();
        case Size:
            return image.sortableFilesize();
        case Dimensions:
            return image.sortableDimensions();
        case Type:
            return image.filetype().toLower();
        default:
            return index.row();
        }
    } else if (role == Qt::ToolTipRole) {
        return index.column() == Remove ? QString("Remove from the queue") : plainToolTip(image.path());
    } else if (role == Qt::TextAlignmentRole) {
        if (index.column() == Remove)
            return int(Qt::AlignCenter);
        if (index.column() == Size || index.column() == Dimensions)
            return int(Qt::AlignRight | Qt::AlignVCenter);
    } else if (role == Qt::ForegroundRole && index.column() == Remove) {
        return QColor(0x9a, 0x9a, 0xa0);
    }
    return {};
}

QVariant ImageQueueModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const titles[] = {"Name", "Size", "Dimensions", "Type", ""};
    return section >= 0 && section < ColumnCount ? QString(titles[section]) : QVariant();
}

Qt::ItemFlags ImageQueueModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::ItemIsDropEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDropEnabled;
}

QStringList ImageQueueModel::mimeTypes() const {
    return {"text/uri-list", "image/png"};
}

// ---------------------------------------------------------------- table

ImageQueueTable::ImageQueueTable(app::AppDelegate& delegate, QWidget* parent)
    : QTableView(parent), delegate_(delegate) {
    setObjectName("imagesTableView");
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DropOnly);
    setDropIndicatorShown(true);
    // Tab leaves the table for the next panel; the arrow keys move between its rows.
    setTabKeyNavigation(false);
}

void ImageQueueTable::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) &&
        !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        const auto rows = selectionModel()->selectedRows();
        if (!rows.isEmpty())
            Q_EMIT removeClicked(rows.front());
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

void ImageQueueTable::mousePressEvent(QMouseEvent* event) {
    // A press on the remove mark removes that row; it does not select it first.
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && index.isValid() && index.column() == ImageQueueModel::Remove) {
        pressedRemove_ = index;
        event->accept();
        return;
    }
    pressedRemove_ = QPersistentModelIndex();
    QTableView::mousePressEvent(event);
}

void ImageQueueTable::mouseReleaseEvent(QMouseEvent* event) {
    if (pressedRemove_.isValid()) {
        const QModelIndex index = indexAt(event->position().toPoint());
        const QModelIndex pressed = pressedRemove_;
        pressedRemove_ = QPersistentModelIndex();
        event->accept();
        if (index == pressed)
            Q_EMIT removeClicked(index);
        return;
    }
    QTableView::mouseReleaseEvent(event);
}

qint64 ImageQueueTable::dropRowAt(const QPoint& pos) const {
    // The position in the queue itself: the table may be sorted differently.
    const QModelIndex index = indexAt(pos);
    const auto* proxy = qobject_cast<const QSortFilterProxyModel*>(model());
    if (!index.isValid())
        return qint64(delegate_.CurrentImages().size());
    const QModelIndex source = proxy ? proxy->mapToSource(index) : index;
    const QRect r = visualRect(index);
    // The lower half of a row drops below it.
    return source.row() + (pos.y() > r.center().y() ? 1 : 0);
}

void ImageQueueTable::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData() && event->mimeData()->hasUrls()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    event->ignore();
}

void ImageQueueTable::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData() && event->mimeData()->hasUrls()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    event->ignore();
}

void ImageQueueTable::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = DroppableImageView::fileUrls(event->mimeData());
    if (urls.isEmpty()) {
        event->ignore();
        return;
    }
    const qint64 row = dropRowAt(event->position().toPoint());
    event->setDropAction(Qt::CopyAction);
    event->accept();
    // The controller builds the records for a table drop where it stands; the files are few.
    delegate_.acceptImageFileDrop(urls, row);
}

// ---------------------------------------------------------------- panel

ImageQueuePanel::ImageQueuePanel(app::AppDelegate& delegate, QWidget* parent)
    : QWidget(parent), delegate_(delegate) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* bar = new QWidget;
    bar->setObjectName("queueBar");
    bar->setStyleSheet("#queueBar { background: #232325; border-bottom: 1px solid #161618; }");
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(10, 5, 10, 5);
    auto* title = new QLabel("Images");
    title->setStyleSheet("font-weight: bold; color: #f0f0f2;");
    barLayout->addWidget(title);
    count_ = new QLabel;
    count_->setStyleSheet("color: #8a8a90;");
    barLayout->addWidget(count_);
    barLayout->addStretch(1);
    add_ = new QPushButton(QString::fromUtf8("Add Images\u2026"));
    removeAll_ = new QPushButton("Remove All");
    export_ = new QPushButton(QString::fromUtf8("Export\u2026"));
    export_->setDefault(true);
    for (auto* b : {add_, removeAll_, export_})
        barLayout->addWidget(b);
    layout->addWidget(bar);

    auto* split = new QSplitter(Qt::Horizontal);
    model_ = new ImageQueueModel(delegate_, this);
    proxy_ = new QSortFilterProxyModel(this);
    proxy_->setSourceModel(model_);
    proxy_->setSortRole(ImageQueueModel::SortRole);
    table_ = new ImageQueueTable(delegate_);
    table_->setModel(proxy_);
    table_->setSortingEnabled(true);
    table_->sortByColumn(-1, Qt::AscendingOrder);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setAlternatingRowColors(true);
    table_->setShowGrid(false);
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setDefaultSectionSize(24);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    auto* header = table_->horizontalHeader();
    header->setSectionResizeMode(ImageQueueModel::Name, QHeaderView::Stretch);
    header->setSectionResizeMode(ImageQueueModel::Remove, QHeaderView::Fixed);
    header->resizeSection(ImageQueueModel::Size, 90);
    header->resizeSection(ImageQueueModel::Dimensions, 100);
    header->resizeSection(ImageQueueModel::Type, 60);
    header->resizeSection(ImageQueueModel::Remove, 28);
    header->setHighlightSections(false);
    split->addWidget(table_);

    details_ = new QTableWidget(0, 2);
    details_->setObjectName("imageDetailsTableView");
    details_->setHorizontalHeaderLabels({"Key", "Value"});
    details_->setSelectionMode(QAbstractItemView::NoSelection);
    details_->setFocusPolicy(Qt::NoFocus);
    details_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    details_->verticalHeader()->hide();
    details_->verticalHeader()->setDefaultSectionSize(22);
    details_->setShowGrid(false);
    details_->setAlternatingRowColors(true);
    details_->setWordWrap(false);
    details_->horizontalHeader()->setStretchLastSection(true);
    details_->horizontalHeader()->resizeSection(0, 170);
    details_->horizontalHeader()->setHighlightSections(false);
    split->addWidget(details_);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    layout->addWidget(split, 1);

    connect(add_, &QPushButton::clicked, this, [this] { delegate_.addFile(); });
    connect(removeAll_, &QPushButton::clicked, this, [this] { delegate_.removeAllFiles(); });
    connect(export_, &QPushButton::clicked, this, [this] { delegate_.showExportDialog(); });
    connect(table_, &ImageQueueTable::removeClicked, this, [this](const QModelIndex& index) {
        const QModelIndex source = proxy_->mapToSource(index);
        const auto& images = delegate_.CurrentImages();
        if (source.row() >= 0 && source.row() < int(images.size())) {
            auto image = images[size_t(source.row())];
            delegate_.removeImage(image);
        }
    });
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { userSelected(); });
    connect(&delegate_, &app::AppDelegate::CurrentImagesChanged, this, [this] { imagesChanged(); });
    connect(&delegate_, &app::AppDelegate::CurrentImagesSelectionChanged, this, [this] {
        showSelection();
        showDetails();
    });
    imagesChanged();
}

void ImageQueuePanel::imagesChanged() {
    syncing_ = true;
    model_->reset();
    syncing_ = false;
    const size_t n = delegate_.CurrentImages().size();
    count_->setText(n ? QString("%1 file%2").arg(n).arg(n == 1 ? "" : "s") : QString());
    removeAll_->setEnabled(n > 0);
    export_->setEnabled(n > 0);
    showSelection();
    showDetails();
}

void ImageQueuePanel::showSelection() {
    syncing_ = true;
    const qint64 selected = delegate_.CurrentImagesSelection();
    if (selected >= 0 && selected < model_->rowCount()) {
        const QModelIndex index = proxy_->mapFromSource(model_->index(int(selected), 0));
        table_->selectionModel()->select(index,
                                         QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        table_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
        table_->scrollTo(index);
    } else {
        table_->selectionModel()->clearSelection();
    }
    syncing_ = false;
}

void ImageQueuePanel::userSelected() {
    if (syncing_)
        return;
    const auto rows = table_->selectionModel()->selectedRows();
    const qint64 row = rows.isEmpty() ? -1 : proxy_->mapToSource(rows.front()).row();
    if (row == delegate_.CurrentImagesSelection())
        return;
    delegate_.setCurrentImagesSelection(row);
    delegate_.tableViewSelectionDidChange();
}

void ImageQueuePanel::showDetails() {
    details_->setRowCount(0);
    const auto& images = delegate_.CurrentImages();
    const qint64 selected = delegate_.CurrentImagesSelection();
    if (selected < 0 || selected >= qint64(images.size()) || !images[size_t(selected)])
        return;
    const auto& rows = images[size_t(selected)]->details();
    details_->setRowCount(int(rows.size()));
    for (size_t i = 0; i < rows.size(); ++i) {
        auto* key = new QTableWidgetItem(QString::fromStdString(rows[i].dKey));
        key->setForeground(QColor(0x9a, 0x9a, 0xa0));
        auto* value = new QTableWidgetItem(QString::fromStdString(rows[i].dVal));
        value->setToolTip(plainToolTip(value->text()));
        details_->setItem(int(i), 0, key);
        details_->setItem(int(i), 1, value);
    }
}

} // namespace ui

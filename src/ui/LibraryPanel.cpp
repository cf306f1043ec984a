#include "ui/LibraryPanel.h"

#include "ui/ImageConvert.h"

#include "platform/Pasteboard.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListView>
#include <QListWidget>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <set>

namespace ui {

namespace {

constexpr QSize thumbSize(96, 64);

QPixmap makePlaceholder() {
    QPixmap pixmap(thumbSize);
    pixmap.fill(QColor(0x2a, 0x2a, 0x2d));
    return pixmap;
}

} // namespace

QImage libraryThumbnail(const QImage& sample, double devicePixelRatio) {
    if (sample.isNull())
        return {};
    // Drawn from the sample straight to the screen's pixels: a thumbnail made at its size in
    // points and then enlarged by the screen would be blurred.
    QImage image = sample.scaled(thumbSize * devicePixelRatio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    image.setDevicePixelRatio(devicePixelRatio);
    return image;
}

LibraryModel::LibraryModel(app::AppDelegate& delegate, QObject* parent)
    : QAbstractListModel(parent), delegate_(delegate), placeholder_(makePlaceholder()) {}

void LibraryModel::reset() {
    beginResetModel();
    if (category_ >= int(delegate_.FilterLibrary().size()))
        category_ = -1;
    endResetModel();
}

void LibraryModel::setCategory(int index) {
    beginResetModel();
    category_ = index;
    endResetModel();
}

std::shared_ptr<model::Filter> LibraryModel::entry(int row) const {
    const auto& library = delegate_.FilterLibrary();
    if (category_ < 0 || category_ >= int(library.size()) || !library[size_t(category_)])
        return nullptr;
    const auto& entries = library[size_t(category_)]->filters();
    return row >= 0 && row < int(entries.size()) ? entries[size_t(row)] : nullptr;
}

qint64 LibraryModel::flatIndex(int row) const {
    qint64 offset = 0;
    const auto& library = delegate_.FilterLibrary();
    for (int i = 0; i < category_ && i < int(library.size()); ++i)
        if (library[size_t(i)])
            offset += qint64(library[size_t(i)]->filters().size());
    return offset + row;
}

void LibraryModel::setThumbnail(const model::Filter* entry, const QPixmap& pixmap) {
    thumbnails_.insert(entry, pixmap);
}

int LibraryModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    const auto& library = delegate_.FilterLibrary();
    if (category_ < 0 || category_ >= int(library.size()) || !library[size_t(category_)])
        return 0;
    return int(library[size_t(category_)]->filters().size());
}

QVariant LibraryModel::data(const QModelIndex& index, int role) const {
    auto item = entry(index.row());
    if (!item)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return item->qName();
    case Qt::ToolTipRole:
        // The name too: a long one is cut short under its thumbnail.
        return QString("<b>%1</b><br>%2")
            .arg(item->qName().toHtmlEscaped(), item->qTooltip().toHtmlEscaped());
    case Qt::DecorationRole: {
        auto it = thumbnails_.find(item.get());
        return it == thumbnails_.end() ? placeholder_ : *it;
    }
    default:
        return {};
    }
}

Qt::ItemFlags LibraryModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

QStringList LibraryModel::mimeTypes() const {
    return {platform::filterPasteboardType()};
}

QMimeData* LibraryModel::mimeData(const QModelIndexList& indexes) const {
    if (indexes.isEmpty())
        return nullptr;
    // One step travels per drag, as in the workflow view.
    auto item = delegate_.pasteboardWriterForItem(true, flatIndex(indexes.front().row()));
    if (!item)
        return nullptr;
    auto* mime = new QMimeData;
    item->writeToMimeData(*mime);
    return mime;
}

LibraryPanel::LibraryPanel(app::AppDelegate& delegate, QWidget* parent)
    : QWidget(parent), delegate_(delegate) {
    setObjectName("libraryPanel");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(8);

    auto* switchRow = new QHBoxLayout;
    switchRow->setSpacing(0);
    effects_ = new QPushButton("Photo Effects");
    actions_ = new QPushButton("Actions");
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    for (auto* b : {effects_, actions_}) {
        b->setCheckable(true);
        b->setCursor(Qt::PointingHandCursor);
        group->addButton(b);
        switchRow->addWidget(b, 1);
    }
    effects_->setStyleSheet("QPushButton { border-top-right-radius: 0; border-bottom-right-radius: 0; }");
    actions_->setStyleSheet("QPushButton { border-top-left-radius: 0; border-bottom-left-radius: 0; }");
    layout->addLayout(switchRow);

    title_ = new QLabel;
    title_->setStyleSheet("font-weight: bold; font-size: 13pt; color: #f0f0f2;");
    layout->addWidget(title_);

    auto* body = new QHBoxLayout;
    body->setSpacing(8);
    categories_ = new QListWidget;
    categories_->setObjectName("categories");
    categories_->setFixedWidth(108);
    categories_->setWordWrap(true);
    categories_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    categories_->setTextElideMode(Qt::ElideNone);
    categories_->setStyleSheet("QListWidget { background: transparent; }"
                               "QListWidget::item { padding: 5px 6px; border-radius: 4px; color: #c8c8cc; }"
                               "QListWidget::item:selected { background: #2f5fa8; color: white; }");
    body->addWidget(categories_);

    model_ = new LibraryModel(delegate_, this);
    entries_ = new QListView;
    entries_->setObjectName("libraryEntries");
    entries_->setModel(model_);
    entries_->setViewMode(QListView::IconMode);
    entries_->setMovement(QListView::Static);
    entries_->setResizeMode(QListView::Adjust);
    entries_->setIconSize(thumbSize);
    entries_->setGridSize(QSize(thumbSize.width() + 8, thumbSize.height() + 40));
    entries_->setWordWrap(true);
    entries_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    entries_->setDragEnabled(true);
    entries_->setDragDropMode(QAbstractItemView::DragOnly);
    entries_->setDefaultDropAction(Qt::CopyAction);
    entries_->setStyleSheet("QListView { background: #1e1e20; border-radius: 6px; }"
                            "QListView::item { color: #d0d0d4; border-radius: 6px; padding: 4px; }"
                            "QListView::item:selected { background: #2f5fa8; color: white; }");
    body->addWidget(entries_, 1);
    layout->addLayout(body, 1);

    add_ = new QPushButton("Add to Workflow");
    add_->setObjectName("addSelectedFilter");
    add_->setEnabled(false);
    add_->setToolTip("Adds the selected entries to the end of the workflow (or drag them there)");
    layout->addWidget(add_);

    connect(effects_, &QPushButton::clicked, this, [this] { delegate_.setActionsOrEffects(1); });
    connect(actions_, &QPushButton::clicked, this, [this] { delegate_.setActionsOrEffects(0); });
    connect(add_, &QPushButton::clicked, this, [this] { delegate_.addSelectedFilterToCurrent(); });
    connect(categories_, &QListWidget::currentRowChanged, this, [this](int row) {
        const int category = row < 0 ? -1 : categories_->item(row)->data(Qt::UserRole).toInt();
        if (category != model_->category())
            model_->setCategory(category);
        selectionChanged();
    });
    connect(entries_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { selectionChanged(); });
    connect(model_, &QAbstractItemModel::modelReset, this, [this] {
        // The selection model is kept across resets.
        selectionChanged();
    });
    // A double-click or Enter on an entry adds it (with the others selected beside it), as the
    // add button does.
    connect(entries_, &QListView::activated, this, [this](const QModelIndex& index) {
        if (!entries_->selectionModel()->isSelected(index))
            entries_->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect);
        selectionChanged();
        delegate_.addSelectedFilterToCurrent();
    });

    auto updateSwitch = [this] {
        const bool effects = delegate_.ActionsOrEffects() == 1;
        effects_->setChecked(effects);
        actions_->setChecked(!effects);
    };
    connect(&delegate_, &app::AppDelegate::ActionsOrEffectsChanged, this, updateSwitch);
    connect(&delegate_, &app::AppDelegate::ActionsOrEffectsLabelChanged, this,
            [this] { title_->setText(delegate_.ActionsOrEffectsLabel()); });
    connect(&delegate_, &app::AppDelegate::FilterLibraryChanged, this, [this] { libraryChanged(); });
    connect(&delegate_, &app::AppDelegate::FilterActionsLibraryChanged, this,
            [this] { renderThumbnails(delegate_.FilterActionsLibrary()); });
    connect(&delegate_, &app::AppDelegate::FilterEffectsLibraryChanged, this,
            [this] { renderThumbnails(delegate_.FilterEffectsLibrary()); });
    updateSwitch();
    title_->setText(delegate_.ActionsOrEffectsLabel());
    libraryChanged();
}

void LibraryPanel::libraryChanged() {
    const QString previous = categories_->currentItem() ? categories_->currentItem()->text() : QString();
    categories_->blockSignals(true);
    categories_->clear();
    const auto& library = delegate_.FilterLibrary();
    int select = -1;
    for (size_t i = 0; i < library.size(); ++i) {
        if (!library[i] || library[i]->qName() == "---")
            continue;
        auto* item = new QListWidgetItem(library[i]->qName());
        item->setData(Qt::UserRole, int(i));
        categories_->addItem(item);
        if (library[i]->qName() == previous || select < 0)
            select = categories_->count() - 1;
    }
    categories_->blockSignals(false);
    model_->setCategory(select < 0 ? -1 : categories_->item(select)->data(Qt::UserRole).toInt());
    categories_->blockSignals(true);
    categories_->setCurrentRow(select);
    categories_->blockSignals(false);
    entries_->clearSelection();
    selectionChanged();
}

void LibraryPanel::renderThumbnails(const app::Library& library) {
    // The samples are engine pictures: they are drawn into pixels on a worker, all in one job.
    struct Job {
        std::vector<std::shared_ptr<model::Filter>> entries;
        std::vector<QImage> images;
    };
    auto job = std::make_shared<Job>();
    for (const auto& category : library)
        if (category)
            for (const auto& entry : category->filters())
                if (entry)
                    job->entries.push_back(entry);
    if (job->entries.empty())
        return;
    QPointer<LibraryPanel> guard(this); // looked at on the main queue only
    const double ratio = entries_->devicePixelRatioF();
    delegate_.work().globalAsync([guard, job, ratio](app::WorkContext& work) {
        for (const auto& entry : job->entries) {
            if (!work.isOpen())
                return;
            job->images.push_back(libraryThumbnail(toQImage(entry->sample()), ratio));
        }
        work.mainAsync([guard, job] {
            if (!guard)
                return;
            for (size_t i = 0; i < job->entries.size(); ++i)
                if (!job->images[i].isNull())
                    guard->model_->setThumbnail(job->entries[i].get(), QPixmap::fromImage(job->images[i]));
            guard->entries_->viewport()->update();
        });
    });
}

void LibraryPanel::selectionChanged() {
    model::Filters selected;
    auto rows = entries_->selectionModel()->selectedIndexes();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    for (const auto& index : rows)
        if (auto item = model_->entry(index.row()))
            selected.push_back(item);
    add_->setEnabled(!selected.empty());
    delegate_.setSelectedLibraryEntries(selected);
}

} // namespace ui

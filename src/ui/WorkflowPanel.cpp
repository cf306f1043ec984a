#include "ui/WorkflowPanel.h"

#include "platform/Pasteboard.h"

#include <QApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollArea>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace ui {

namespace {

QToolButton* smallButton(const QString& text, const QString& tip) {
    auto* b = new QToolButton;
    b->setText(text);
    b->setToolTip(tip);
    b->setCursor(Qt::PointingHandCursor);
    b->setAutoRaise(true);
    return b;
}

} // namespace

// ---------------------------------------------------------------- row

WorkflowRow::WorkflowRow(WorkflowPanel& panel, std::shared_ptr<model::Filter> step, int index)
    : panel_(panel), step_(std::move(step)), index_(index) {
    setFixedHeight(33);
    setAttribute(Qt::WA_Hover);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 0, 6, 0);
    layout->setSpacing(6);
    auto* grip = new QLabel(QString::fromUtf8("\u2630"));
    grip->setStyleSheet("color: #6c6c72;");
    grip->setToolTip("Drag to reorder");
    layout->addWidget(grip);
    name_ = new QLabel;
    name_->setTextInteractionFlags(Qt::NoTextInteraction);
    layout->addWidget(name_, 1);
    switch_ = new ToggleSwitch;
    switch_->setToolTip(panel_.delegate().ToggleFilterTooltip());
    layout->addWidget(switch_);
    info_ = smallButton("i", "About this step");
    info_->setObjectName("infoButton");
    info_->setFixedSize(18, 18);
    info_->setStyleSheet("#infoButton { border: 1px solid #8a8a90; border-radius: 9px; color: #c8c8cc;"
                         " font-weight: bold; font-style: italic; padding: 0; }"
                         "#infoButton:hover { background: #3a3a3e; }");
    layout->addWidget(info_);
    remove_ = smallButton(QString::fromUtf8("\u2715"), "Remove this step");
    layout->addWidget(remove_);
    // The keyboard reaches a step through the list (Space, Delete), not through its buttons.
    for (QWidget* control : std::initializer_list<QWidget*>{switch_, info_, remove_})
        control->setFocusPolicy(Qt::NoFocus);

    connect(switch_, &ToggleSwitch::clicked, this, [this] {
        // The switch shows the model, not its own click.
        switch_->setChecked(step_->isEnabled());
        panel_.delegate().toggleFilterEnabled(step_);
    });
    connect(info_, &QToolButton::clicked, this, [this] { panel_.showPopover(info_, step_->qTooltip()); });
    connect(remove_, &QToolButton::clicked, this, [this] {
        // The confirmation runs modally and the answer replaces the rows: nothing of this row
        // may be touched afterwards.
        auto step = step_;
        auto& delegate = panel_.delegate();
        delegate.removeFilterFromList(step);
    });
    connect(step_.get(), &model::Filter::isEnabledChanged, this, [this] { refresh(); });
    connect(step_.get(), &model::Filter::nameChanged, this, [this] { refresh(); });
    refresh();
}

void WorkflowRow::refresh() {
    name_->setText(step_->qName());
    switch_->setChecked(step_->isEnabled());
    name_->setStyleSheet(step_->isEnabled() ? "color: #e6e6e8;" : "color: #7a7a80;");
    setToolTip(step_->qParent());
}

void WorkflowRow::setSelected(bool selected) {
    selected_ = selected;
    update();
}

void WorkflowRow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor bg = selected_ ? QColor(0x2f, 0x5f, 0xa8) : QColor(0x29, 0x29, 0x2c);
    if (!selected_ && underMouse())
        bg = QColor(0x31, 0x31, 0x35);
    p.setPen(Qt::NoPen);
    p.setBrush(bg);
    p.drawRoundedRect(QRectF(rect()).adjusted(0, 1.5, 0, -1.5), 5, 5);
    if (selected_ && panel_.list()->hasFocus())
        paintFocusRing(p, QRectF(rect()).adjusted(0, 0.5, 0, -0.5), 5);
}

void WorkflowRow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressed_ = true;
        pressPos_ = event->position().toPoint();
        panel_.list()->setFocus(Qt::MouseFocusReason);
        panel_.select(index_);
    }
    FilterViewController::mousePressEvent(event);
}

void WorkflowRow::mouseMoveEvent(QMouseEvent* event) {
    if (!pressed_ || !(event->buttons() & Qt::LeftButton))
        return;
    if ((event->position().toPoint() - pressPos_).manhattanLength() < QApplication::startDragDistance())
        return;
    pressed_ = false;
    // The drop replaces the rows; the panel keeps them alive until the drag has returned.
    panel_.startDrag(index_);
}

// ---------------------------------------------------------------- list

WorkflowList::WorkflowList(WorkflowPanel& panel) : panel_(panel) {
    setAcceptDrops(true);
    setObjectName("currentFiltersCollection");
    setFocusPolicy(Qt::StrongFocus);
}

void WorkflowList::keyPressEvent(QKeyEvent* event) {
    auto& delegate = panel_.delegate();
    const auto& steps = delegate.CurrentFilters();
    const int count = int(steps.size());
    const qint64 selected = delegate.CurrentFiltersSelection();
    const bool valid = selected >= 0 && selected < count;
    if (count == 0 || (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        QWidget::keyPressEvent(event);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Up:
        panel_.select(valid ? std::max(0, int(selected) - 1) : count - 1);
        break;
    case Qt::Key_Down:
        panel_.select(valid ? std::min(count - 1, int(selected) + 1) : 0);
        break;
    case Qt::Key_Home:
        panel_.select(0);
        break;
    case Qt::Key_End:
        panel_.select(count - 1);
        break;
    case Qt::Key_Space:
        if (valid)
            delegate.toggleFilterEnabled(steps[size_t(selected)]);
        break;
    case Qt::Key_Delete:
    case Qt::Key_Backspace:
        if (valid) {
            auto step = steps[size_t(selected)];
            delegate.removeFilterFromList(step);
        }
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void WorkflowList::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    panel_.listFocusChanged();
}

void WorkflowList::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    panel_.listFocusChanged();
}

int WorkflowList::dropIndexAt(int y) const {
    const auto& rows = panel_.rows();
    for (size_t i = 0; i < rows.size(); ++i)
        if (y < rows[i]->geometry().center().y())
            return int(i);
    return int(rows.size());
}

void WorkflowList::dragEnterEvent(QDragEnterEvent* event) {
    if (!event->mimeData() || !event->mimeData()->hasFormat(platform::filterPasteboardType())) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    indicator_ = dropIndexAt(event->position().toPoint().y());
    update();
}

void WorkflowList::dragMoveEvent(QDragMoveEvent* event) {
    if (!event->mimeData() || !event->mimeData()->hasFormat(platform::filterPasteboardType())) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    const int d = dropIndexAt(event->position().toPoint().y());
    if (d != indicator_) {
        indicator_ = d;
        update();
    }
}

void WorkflowList::dragLeaveEvent(QDragLeaveEvent*) {
    indicator_ = -1;
    update();
}

void WorkflowList::dropEvent(QDropEvent* event) {
    indicator_ = -1;
    update();
    const QMimeData* mime = event->mimeData();
    if (!mime) {
        event->ignore();
        return;
    }
    const int d = dropIndexAt(event->position().toPoint().y());
    const bool accepted = panel_.delegate().acceptFilterDrop(
        platform::pasteboardData(*mime, platform::filterPasteboardType()), d);
    if (accepted) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void WorkflowList::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const auto& rows = panel_.rows();
    if (rows.empty()) {
        p.setPen(QColor(0x80, 0x80, 0x86));
        p.drawText(rect().adjusted(12, 12, -12, -12), Qt::AlignCenter | Qt::TextWordWrap,
                   "Drag photo effects or actions here\nto build the workflow");
    }
    if (indicator_ >= 0) {
        int y = 2;
        if (!rows.empty())
            y = indicator_ < int(rows.size()) ? rows[size_t(indicator_)]->geometry().top()
                                              : rows.back()->geometry().bottom() + 1;
        p.setPen(QPen(QColor(0x3d, 0x7b, 0xd9), 2));
        p.setBrush(QColor(0x3d, 0x7b, 0xd9));
        p.drawLine(QPointF(8, y), QPointF(width() - 8, y));
        p.drawEllipse(QPointF(8, y), 3, 3);
    }
}

// ---------------------------------------------------------------- panel

WorkflowPanel::WorkflowPanel(app::AppDelegate& delegate, QWidget* parent)
    : QWidget(parent), delegate_(delegate) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 6);
    layout->setSpacing(6);

    auto* header = new QHBoxLayout;
    auto* title = new QLabel("Workflow");
    title->setStyleSheet("font-weight: bold; font-size: 13pt; color: #f0f0f2;");
    header->addWidget(title);
    count_ = new QLabel;
    count_->setStyleSheet("color: #8a8a90;");
    header->addWidget(count_);
    header->addStretch(1);
    layout->addLayout(header);
    enableAll_ = smallButton("Enable All", "Switch every step on");
    disableAll_ = smallButton("Disable All", "Switch every step off");
    removeAll_ = smallButton("Remove All", "Remove every step from the workflow");

    scroll_ = new QScrollArea;
    scroll_->setObjectName("workflowScroll");
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    // The list inside takes the focus; the scroll area is no stop of its own.
    scroll_->setFocusPolicy(Qt::NoFocus);
    list_ = new WorkflowList(*this);
    rowsLayout_ = new QVBoxLayout(list_);
    rowsLayout_->setContentsMargins(0, 2, 0, 2);
    rowsLayout_->setSpacing(0);
    rowsLayout_->addStretch(1);
    scroll_->setWidget(list_);
    scroll_->setStyleSheet("#workflowScroll { background: #1e1e20; border: 1px solid transparent;"
                           " border-radius: 6px; }"
                           "#workflowScroll[listFocus=\"true\"] { border-color: #8cb8ff; }");
    list_->setStyleSheet("#currentFiltersCollection { background: #1e1e20; }");
    layout->addWidget(scroll_, 1);
    auto* footer = new QHBoxLayout;
    footer->setSpacing(4);
    for (auto* b : {enableAll_, disableAll_, removeAll_}) {
        b->setStyleSheet(
            "QToolButton { color: #a8c6f0; padding: 2px 6px; } QToolButton:disabled { color: #5a5a60; }");
        footer->addWidget(b);
    }
    footer->addStretch(1);
    layout->addLayout(footer);

    popover_ = new QFrame(this, Qt::Popup);
    popover_->setObjectName("popView");
    popover_->setStyleSheet(
        "#popView { background: #2b2b2e; border: 1px solid #4a4a4e; border-radius: 6px; }");
    auto* popLayout = new QVBoxLayout(popover_);
    popLayout->setContentsMargins(12, 10, 12, 10);
    popoverLabel_ = new QLabel;
    popoverLabel_->setWordWrap(true);
    popoverLabel_->setMaximumWidth(300);
    popLayout->addWidget(popoverLabel_);

    connect(enableAll_, &QToolButton::clicked, this, [this] { delegate_.enableAllFilters(); });
    connect(disableAll_, &QToolButton::clicked, this, [this] { delegate_.disableAllFilters(); });
    connect(removeAll_, &QToolButton::clicked, this, [this] { delegate_.removeAllFilters(); });
    connect(&delegate_, &app::AppDelegate::CurrentFiltersChanged, this, [this] { rebuild(); });
    connect(&delegate_, &app::AppDelegate::CurrentFiltersSelectionChanged, this,
            [this] { selectionChanged(); });
    rebuild();
}

void WorkflowPanel::rebuild() {
    if (dragging_) {
        rebuildPending_ = true;
        return;
    }
    rebuildPending_ = false;
    // A row may be the sender of what replaced the workflow (its remove button): it goes later.
    for (auto* row : rows_) {
        rowsLayout_->removeWidget(row);
        row->hide();
        row->deleteLater();
    }
    rows_.clear();
    const auto& steps = delegate_.CurrentFilters();
    for (size_t i = 0; i < steps.size(); ++i) {
        if (!steps[i])
            continue;
        auto* row = new WorkflowRow(*this, steps[i], int(i));
        rowsLayout_->insertWidget(int(rows_.size()), row);
        // Shown now rather than by the layout's later call, so that the rows take their places
        // (and a new one can be scrolled to) at once.
        if (list_->isVisible())
            row->show();
        rows_.push_back(row);
    }
    count_->setText(steps.empty() ? QString()
                                  : QString("%1 step%2").arg(steps.size()).arg(steps.size() == 1 ? "" : "s"));
    const bool any = !steps.empty();
    enableAll_->setEnabled(any);
    disableAll_->setEnabled(any);
    removeAll_->setEnabled(any);
    selectionChanged();
    list_->update();
}

void WorkflowPanel::selectionChanged() {
    const qint64 selected = delegate_.CurrentFiltersSelection();
    for (auto* row : rows_)
        row->setSelected(row->index() == selected);
    if (selected >= 0 && selected < qint64(rows_.size())) {
        // A row just added has no place yet: the list is laid out and fitted into the scroll area
        // first, so that scrolling to it scrolls to where it will be.
        rowsLayout_->activate();
        QEvent layout(QEvent::LayoutRequest);
        QCoreApplication::sendEvent(scroll_, &layout);
        scroll_->ensureWidgetVisible(rows_[size_t(selected)], 0, 0);
    }
}

void WorkflowPanel::select(int index) {
    delegate_.setCurrentFiltersSelection(index);
}

void WorkflowPanel::listFocusChanged() {
    scroll_->setProperty("listFocus", list_->hasFocus());
    scroll_->style()->unpolish(scroll_);
    scroll_->style()->polish(scroll_);
    for (auto* row : rows_)
        row->update();
}

void WorkflowPanel::startDrag(int index) {
    auto step = delegate_.pasteboardWriterForItem(false, index);
    if (!step)
        return;
    auto* mime = new QMimeData;
    step->writeToMimeData(*mime);
    auto* drag = new QDrag(this);
    drag->setMimeData(mime);
    if (index >= 0 && index < int(rows_.size())) {
        QPixmap image = rows_[size_t(index)]->grab();
        drag->setPixmap(image);
        drag->setHotSpot(QPoint(20, image.height() / 2));
    }
    dragging_ = true;
    drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::CopyAction);
    dragging_ = false;
    if (rebuildPending_)
        QTimer::singleShot(0, this, [this] { rebuild(); });
}

void WorkflowPanel::showPopover(QWidget* anchor, const QString& text) {
    popoverLabel_->setText(text);
    popover_->adjustSize();
    // Beside the anchor's right edge, kept on the screen.
    QPoint pos =
        anchor->mapToGlobal(QPoint(anchor->width() + 4, (anchor->height() - popover_->height()) / 2));
    if (auto* screen = anchor->screen()) {
        const QRect area = screen->availableGeometry();
        if (pos.x() + popover_->width() > area.right())
            pos.setX(anchor->mapToGlobal(QPoint(0, 0)).x() - popover_->width() - 4);
        pos.setY(std::clamp(pos.y(), area.top(), std::max(area.top(), area.bottom() - popover_->height())));
    }
    popover_->move(pos);
    popover_->show();
}

} // namespace ui

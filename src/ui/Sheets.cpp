#include "ui/Sheets.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace ui {

namespace {

const char* const panelStyle = "#sheetPanel { background: #2a2a2d; border: 1px solid #45454a;"
                               " border-top: none; border-bottom-left-radius: 10px;"
                               " border-bottom-right-radius: 10px; }";

QLabel* label(const QString& style) {
    auto* l = new QLabel;
    // Names of files and reasons from their readers, never markup.
    l->setTextFormat(Qt::PlainText);
    l->setStyleSheet(style);
    return l;
}

} // namespace

// ---------------------------------------------------------------- host

SheetHost::SheetHost(SheetPanel* panel, QWidget* parent) : QWidget(parent), panel_(panel) {
    panel_->setParent(this);
    parent->installEventFilter(this);
    hide();
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { focusChanged(now); });
}

bool SheetHost::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        place();
    return QWidget::eventFilter(watched, event);
}

void SheetHost::place() {
    if (!parentWidget())
        return;
    setGeometry(parentWidget()->rect());
    panel_->adjustSize();
    const QSize size = panel_->sizeHint().expandedTo(panel_->minimumSize());
    panel_->setGeometry((width() - size.width()) / 2, 0, size.width(), size.height());
}

void SheetHost::present(bool shown) {
    if (shown) {
        const bool arriving = isHidden();
        if (arriving) {
            QWidget* focus = QApplication::focusWidget();
            returnFocus_ = focus && !isAncestorOf(focus) ? focus : nullptr;
        }
        place();
        show();
        raise();
        if (arriving)
            focusInitial();
    } else if (!isHidden()) {
        const bool hadFocus = isAncestorOf(QApplication::focusWidget());
        hide();
        // The keyboard goes back to where it was before the sheet came.
        if (hadFocus && returnFocus_ && returnFocus_->isVisible() && returnFocus_->isEnabled())
            returnFocus_->setFocus(Qt::OtherFocusReason);
        returnFocus_ = nullptr;
    }
}

QList<QWidget*> SheetHost::focusables() const {
    // The focus chain runs through the whole window; the panel's part of it, in its order.
    QList<QWidget*> result;
    QWidget* w = panel_;
    do {
        if (panel_->isAncestorOf(w) && w->isVisibleTo(panel_) && w->isEnabled() &&
            (w->focusPolicy() & Qt::TabFocus) && !w->focusProxy())
            result << w;
        w = w->nextInFocusChain();
    } while (w && w != panel_);
    return result;
}

void SheetHost::focusInitial() {
    QPushButton* preferred = panel_->defaultButton();
    if (preferred && preferred->isVisibleTo(panel_) && preferred->isEnabled()) {
        preferred->setFocus(Qt::TabFocusReason);
        return;
    }
    const auto controls = focusables();
    if (!controls.isEmpty())
        controls.front()->setFocus(Qt::TabFocusReason);
    else
        panel_->setFocus(Qt::OtherFocusReason);
}

void SheetHost::focusChanged(QWidget* now) {
    // Nothing behind the sheet takes the keyboard while it is up.
    if (!isVisible() || !now || isAncestorOf(now) || now->window() != window())
        return;
    focusInitial();
}

bool SheetHost::focusNextPrevChild(bool next) {
    const auto controls = focusables();
    if (controls.isEmpty())
        return true;
    const qsizetype at = controls.indexOf(QApplication::focusWidget());
    const qsizetype n = controls.size();
    const qsizetype to = at < 0 ? (next ? 0 : n - 1) : (at + (next ? 1 : n - 1)) % n;
    controls[to]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

void SheetHost::keyPressEvent(QKeyEvent* event) {
    auto press = [](QPushButton* button) {
        if (button && button->isVisible() && button->isEnabled())
            button->click();
    };
    if (event->key() == Qt::Key_Escape) {
        press(panel_->cancelButton());
        event->accept();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        // A focused command button takes Enter itself, as in a dialog; options (check boxes,
        // the format choices) leave it to the default button.
        auto* focused = qobject_cast<QPushButton*>(QApplication::focusWidget());
        const bool command = focused && panel_->isAncestorOf(focused) && panel_->takesEnter(focused);
        press(command ? focused : panel_->defaultButton());
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void SheetHost::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor(0, 0, 0, 110));
}

void SheetHost::mousePressEvent(QMouseEvent* event) {
    // The window beneath a sheet takes no clicks.
    event->accept();
}

// ---------------------------------------------------------------- start-up overlay

StartupOverlay::StartupOverlay(app::AppDelegate& delegate, QWidget* parent)
    : TranslucentView(parent), delegate_(delegate) {
    setObjectName("overlayView");
    auto* layout = new QVBoxLayout(this);
    layout->addStretch(1);
    auto* box = new QWidget;
    box->setFixedWidth(420);
    auto* inner = new QVBoxLayout(box);
    inner->setSpacing(8);
    action_ = label("color: white; font-size: 18pt; font-weight: bold;");
    message_ = label("color: #d8d8dc; font-size: 11pt;");
    subMessage_ = label("color: #8e8e94;");
    subMessage_->setMinimumHeight(subMessage_->fontMetrics().height());
    bar_ = new QProgressBar;
    bar_->setTextVisible(false);
    bar_->setFixedHeight(6);
    for (auto* l : {action_, message_, subMessage_})
        l->setAlignment(Qt::AlignCenter);
    inner->addWidget(action_);
    inner->addWidget(message_);
    inner->addSpacing(6);
    inner->addWidget(bar_);
    inner->addWidget(subMessage_);
    layout->addWidget(box, 0, Qt::AlignHCenter);
    layout->addStretch(1);
    parent->installEventFilter(this);
    setGeometry(parent->rect());

    auto refresh = [this] {
        action_->setText(delegate_.ProgressOverlayAction());
        message_->setText(delegate_.ProgressOverlayMessage());
        subMessage_->setText(delegate_.ProgressOverlaySubMessage());
        bar_->setMaximum(int(std::max<qint64>(0, delegate_.ProgressOverlayMax())));
        bar_->setValue(int(std::clamp<qint64>(delegate_.ProgressOverlayCurrent(), 0, bar_->maximum())));
        setVisible(delegate_.overlayVisible());
        if (isVisible())
            raise();
    };
    for (auto signal :
         {&app::AppDelegate::ProgressOverlayActionChanged, &app::AppDelegate::ProgressOverlayMessageChanged,
          &app::AppDelegate::ProgressOverlaySubMessageChanged, &app::AppDelegate::ProgressOverlayMaxChanged,
          &app::AppDelegate::ProgressOverlayCurrentChanged, &app::AppDelegate::overlayVisibleChanged})
        connect(&delegate_, signal, this, refresh);
    refresh();
}

bool StartupOverlay::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return TranslucentView::eventFilter(watched, event);
}

// ---------------------------------------------------------------- progress sheet

ProgressSheet::ProgressSheet(app::AppDelegate& delegate, QWidget* parent)
    : SheetPanel(parent), delegate_(delegate) {
    setObjectName("sheetPanel");
    setStyleSheet(panelStyle);
    setFixedWidth(460);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(22, 18, 22, 16);
    layout->setSpacing(6);
    auto* top = new QHBoxLayout;
    action_ = label("color: white; font-size: 13pt; font-weight: bold;");
    success_ = label("color: #4cc36b; font-size: 16pt; font-weight: bold;");
    success_->setText(QString::fromUtf8("\u2714"));
    success_->setToolTip("Done");
    top->addWidget(action_, 1);
    top->addWidget(success_);
    layout->addLayout(top);
    message_ = label("color: #d8d8dc;");
    layout->addWidget(message_);
    bar_ = new QProgressBar;
    bar_->setTextVisible(false);
    bar_->setFixedHeight(6);
    layout->addWidget(bar_);
    auto* bottom = new QHBoxLayout;
    subMessage_ = label("color: #8e8e94; font-size: 9pt;");
    subMessage_->setMinimumWidth(10);
    subMessage_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    counter_ = label("color: #8e8e94; font-size: 9pt;");
    bottom->addWidget(subMessage_, 1);
    bottom->addWidget(counter_);
    layout->addLayout(bottom);
    // Which items failed and why, so that the user can act on them.
    failed_ = new QListWidget;
    failed_->setObjectName("failedItems");
    failed_->setSelectionMode(QAbstractItemView::NoSelection);
    failed_->setFocusPolicy(Qt::NoFocus);
    failed_->setTextElideMode(Qt::ElideMiddle);
    failed_->setStyleSheet("QListWidget { background: #222225; color: #e0c8a8; font-size: 9pt;"
                           " border: 1px solid #3a3a3e; border-radius: 4px; }");
    failed_->setFixedHeight(6 * failed_->fontMetrics().height() + 8);
    failed_->hide();
    layout->addWidget(failed_);
    close_ = new QPushButton("Close");
    close_->setToolTip("Hide this sheet; the work goes on");
    layout->addWidget(close_, 0, Qt::AlignRight);
    connect(close_, &QPushButton::clicked, this, [this] { delegate_.forceCloseProgressDialog(); });

    for (auto signal :
         {&app::AppDelegate::ProgressSheetActionChanged, &app::AppDelegate::ProgressSheetMessageChanged,
          &app::AppDelegate::ProgressSheetSubMessageChanged, &app::AppDelegate::ProgressSheetMaxChanged,
          &app::AppDelegate::ProgressSheetCurrentChanged, &app::AppDelegate::ProgressSheetSuccessChanged,
          &app::AppDelegate::ProgressSheetShowCounterChanged, &app::AppDelegate::ProgressSheetFailuresChanged,
          &app::AppDelegate::ProgressSheetFailedItemsChanged})
        connect(&delegate_, signal, this, [this] { refresh(); });
    refresh();
}

void ProgressSheet::refresh() {
    action_->setText(delegate_.ProgressSheetAction());
    message_->setText(delegate_.ProgressSheetMessage());
    const QString sub = delegate_.ProgressSheetSubMessage();
    subMessage_->setToolTip(plainToolTip(sub));
    subMessage_->setText(subMessage_->fontMetrics().elidedText(sub, Qt::ElideMiddle, 300));
    const qint64 max = delegate_.ProgressSheetMax();
    const qint64 current = delegate_.ProgressSheetCurrent();
    // An empty run (maximum 0) shows a full bar once it is done, an empty one before.
    bar_->setMaximum(int(std::max<qint64>(1, max)));
    bar_->setValue(
        int(max <= 0 ? (delegate_.ProgressSheetSuccess() ? 1 : 0) : std::clamp<qint64>(current, 0, max)));
    counter_->setVisible(delegate_.ProgressSheetShowCounter());
    counter_->setText(
        QString("%1 of %2").arg(std::clamp<qint64>(current, 0, std::max<qint64>(max, 0))).arg(max));
    success_->setVisible(delegate_.ProgressSheetSuccess());
    const bool failed = delegate_.ProgressSheetFailures() > 0;
    message_->setStyleSheet(failed ? "color: #f0a050;" : "color: #d8d8dc;");
    const QStringList items = delegate_.ProgressSheetFailedItems();
    QStringList shown;
    for (int i = 0; i < failed_->count(); ++i)
        shown << failed_->item(i)->text();
    if (shown != items) {
        failed_->clear();
        for (const auto& item : items) {
            failed_->addItem(item);
            failed_->item(failed_->count() - 1)->setToolTip(plainToolTip(item));
        }
    }
    if (failed_->isHidden() != items.isEmpty()) {
        failed_->setVisible(!items.isEmpty());
        // The panel hangs from the window's top edge: it grows or shrinks downwards.
        adjustSize();
    }
}

// ---------------------------------------------------------------- export sheet

ExportSheet::ExportSheet(app::AppDelegate& delegate, QWidget* parent)
    : SheetPanel(parent), delegate_(delegate) {
    setObjectName("sheetPanel");
    setStyleSheet(panelStyle);
    setFixedWidth(500);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(22, 18, 22, 16);
    layout->setSpacing(10);
    auto* head = new QHBoxLayout;
    auto* title = label("color: white; font-size: 13pt; font-weight: bold;");
    title->setText("Export Images");
    step_ = label("color: #8e8e94;");
    head->addWidget(title, 1);
    head->addWidget(step_);
    layout->addLayout(head);

    pages_ = new QStackedWidget;
    pages_->setMinimumHeight(170);

    // Page 0: format and quality.
    auto* formatPage = new QWidget;
    auto* fl = new QVBoxLayout(formatPage);
    fl->setContentsMargins(0, 0, 0, 0);
    fl->addWidget(label("color: #d8d8dc; font-weight: 600;"));
    static_cast<QLabel*>(fl->itemAt(0)->widget())->setText("File format");
    auto* formatRow = new QHBoxLayout;
    formats_ = new QButtonGroup(this);
    const QStringList names{"PNG", "JPEG", "BMP", "TIFF", "GIF"};
    for (int i = 0; i < names.size(); ++i) {
        auto* b = new QPushButton(names[i]);
        b->setCheckable(true);
        b->setMinimumWidth(70);
        formats_->addButton(b, i);
        formatRow->addWidget(b);
    }
    formatRow->addStretch(1);
    fl->addLayout(formatRow);
    fl->addSpacing(10);
    qualityTitle_ = label("color: #d8d8dc; font-weight: 600;");
    qualityTitle_->setText("Quality");
    fl->addWidget(qualityTitle_);
    auto* qualityRow = new QHBoxLayout;
    quality_ = new QSlider(Qt::Horizontal);
    quality_->setRange(1, 5);
    quality_->setPageStep(1);
    quality_->setTickPosition(QSlider::TicksBelow);
    quality_->setTickInterval(1);
    qualityDescription_ = label("color: #a8c6f0; min-width: 80px;");
    qualityRow->addWidget(quality_, 1);
    qualityRow->addWidget(qualityDescription_);
    fl->addLayout(qualityRow);
    fl->addStretch(1);
    pages_->addWidget(formatPage);

    // Page 1: destination.
    auto* destPage = new QWidget;
    auto* dl = new QVBoxLayout(destPage);
    dl->setContentsMargins(0, 0, 0, 0);
    auto* destTitle = label("color: #d8d8dc; font-weight: 600;");
    destTitle->setText("Destination folder");
    dl->addWidget(destTitle);
    auto* destRow = new QHBoxLayout;
    destination_ = new QLineEdit;
    destination_->setReadOnly(true);
    destination_->setPlaceholderText("No folder chosen");
    choose_ = new QPushButton(QString::fromUtf8("Choose\u2026"));
    destRow->addWidget(destination_, 1);
    destRow->addWidget(choose_);
    dl->addLayout(destRow);
    auto* destHint = label("color: #8e8e94; font-size: 9pt;");
    destHint->setWordWrap(true);
    destHint->setText("Each image is written into this folder under its own name.");
    dl->addWidget(destHint);
    dl->addStretch(1);
    pages_->addWidget(destPage);

    // Page 2: existing files and a summary.
    auto* lastPage = new QWidget;
    auto* ll = new QVBoxLayout(lastPage);
    ll->setContentsMargins(0, 0, 0, 0);
    overwrite_ = new QCheckBox("Overwrite existing files");
    ll->addWidget(overwrite_);
    auto* overwriteHint = label("color: #8e8e94; font-size: 9pt;");
    overwriteHint->setWordWrap(true);
    overwriteHint->setText(
        "When off, a file that already exists is kept and the new one gets a numbered name "
        "(photo-2.png, photo-3.png, ...).");
    ll->addWidget(overwriteHint);
    ll->addSpacing(10);
    summary_ = label("color: #d8d8dc;");
    summary_->setWordWrap(true);
    ll->addWidget(summary_);
    ll->addStretch(1);
    pages_->addWidget(lastPage);
    layout->addWidget(pages_);

    auto* buttons = new QHBoxLayout;
    cancel_ = new QPushButton("Cancel");
    back_ = new QPushButton("Back");
    next_ = new QPushButton("Next");
    start_ = new QPushButton("Start");
    buttons->addWidget(cancel_);
    buttons->addStretch(1);
    buttons->addWidget(back_);
    buttons->addWidget(next_);
    buttons->addWidget(start_);
    layout->addLayout(buttons);

    connect(formats_, &QButtonGroup::idClicked, this,
            [this](int id) { delegate_.setExportDialogFileFormat(id); });
    connect(quality_, &QSlider::valueChanged, this, [this](int v) { delegate_.setExportDialogQuality(v); });
    connect(choose_, &QPushButton::clicked, this, [this] { delegate_.exportDialogSelectFolder(); });
    connect(overwrite_, &QCheckBox::toggled, this,
            [this](bool on) { delegate_.setExportDialogDestinationDoOverwrite(on); });
    connect(cancel_, &QPushButton::clicked, this, [this] { delegate_.cancelExportDialog(); });
    connect(back_, &QPushButton::clicked, this, [this] { delegate_.exportDialogBack(); });
    connect(next_, &QPushButton::clicked, this, [this] { delegate_.exportDialogNext(); });
    connect(start_, &QPushButton::clicked, this, [this] { delegate_.exportDialogStartProcessing(); });
    for (auto signal :
         {&app::AppDelegate::exportDialogSelectedTabChanged, &app::AppDelegate::exportDialogFileFormatChanged,
          &app::AppDelegate::exportDialogQualityChanged, &app::AppDelegate::exportDialogDestinationChanged,
          &app::AppDelegate::exportDialogDestinationDoOverwriteChanged,
          &app::AppDelegate::CurrentImagesChanged, &app::AppDelegate::exportDialogVisibleChanged,
          &app::AppDelegate::ImagesPendingChanged})
        connect(&delegate_, signal, this, [this] { refresh(); });
    refresh();
}

QPushButton* ExportSheet::defaultButton() const {
    return delegate_.exportDialogIsLastTab() ? start_ : next_;
}

bool ExportSheet::takesEnter(const QPushButton* button) const {
    // Once a folder is chosen Enter goes on, wherever the focus was left (the folder dialog
    // leaves it on "Choose..."): choosing again is a click or Space away.
    return SheetPanel::takesEnter(button) && (button != choose_ || !delegate_.exportDialogCanStart());
}

void ExportSheet::refresh() {
    const qint64 tab = delegate_.exportDialogSelectedTab();
    // The page number is the controller's; the buttons only offer pages that exist.
    pages_->setCurrentIndex(int(std::clamp<qint64>(tab, 0, 2)));
    step_->setText(QString("Step %1 of 3").arg(std::clamp<qint64>(tab, 0, 2) + 1));
    const bool last = delegate_.exportDialogIsLastTab();
    const bool pageChanged = shownTab_ != tab;
    shownTab_ = tab;
    QWidget* focus = QApplication::focusWidget();
    const bool focusHere = focus && isAncestorOf(focus);
    // Start comes before Next goes, so that the focus can pass from one to the other.
    start_->setVisible(last);
    start_->setEnabled(last && delegate_.exportDialogCanStart());
    next_->setVisible(!last);
    next_->setEnabled(tab < 2);
    back_->setEnabled(tab > 0);
    QPushButton* preferred = defaultButton();
    start_->setDefault(last);
    next_->setDefault(!last);
    // On a new page the keyboard is on what Enter presses: the focus never stays behind on a
    // control that has gone, nor lands on "Choose..." by itself.
    if (focusHere && (pageChanged || !focus->isVisible()) && preferred->isVisible() && preferred->isEnabled())
        preferred->setFocus(Qt::OtherFocusReason);
    if (auto* b = formats_->button(int(delegate_.exportDialogFileFormat())))
        b->setChecked(true);
    {
        QSignalBlocker block(quality_);
        quality_->setValue(int(std::clamp<qint64>(delegate_.exportDialogQuality(), 1, 5)));
    }
    const bool qualityEnabled = delegate_.exportDialogQualityEnabled();
    quality_->setEnabled(qualityEnabled);
    qualityTitle_->setEnabled(qualityEnabled);
    qualityDescription_->setEnabled(qualityEnabled);
    qualityDescription_->setText(delegate_.exportDialogQualityDescription());
    destination_->setText(QDir::toNativeSeparators(delegate_.exportDialogDestination()));
    {
        QSignalBlocker block(overwrite_);
        overwrite_->setChecked(delegate_.exportDialogDestinationDoOverwrite());
    }
    static const char* const formatNames[] = {"PNG", "JPEG", "BMP", "TIFF", "GIF"};
    const qint64 f = delegate_.exportDialogFileFormat();
    const size_t n = delegate_.CurrentImages().size();
    const QString format = f >= 0 && f < 5 ? formatNames[f] : "?";
    const QString folder = QDir::toNativeSeparators(delegate_.exportDialogDestination());
    // The export takes the queue as it is when the run starts: after an import that still runs.
    if (!delegate_.exportDialogCanStart())
        summary_->setText("Choose a destination folder first (Back).");
    else if (delegate_.ImagesPending())
        summary_->setText(QString("The images in the queue when the import has finished (%1 so far) will be "
                                  "written as %2 into %3.")
                              .arg(n)
                              .arg(format, folder));
    else
        summary_->setText(QString("%1 image%2 will be written as %3 into %4.")
                              .arg(n)
                              .arg(n == 1 ? "" : "s")
                              .arg(format, folder));
}

} // namespace ui

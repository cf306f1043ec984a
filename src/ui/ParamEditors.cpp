#include "ui/ParamEditors.h"

#include "ui/CustomControls.h"
#include "ui/ImageConvert.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

namespace ui {

namespace {

using model::FilterParamValue;

QLabel* caption(const QString& text) {
    auto* label = new QLabel(text);
    label->setStyleSheet("color: #8a8a90; font-size: 9pt;");
    return label;
}

QDoubleSpinBox* numberField(double min, double max, int decimals) {
    auto* field = new QDoubleSpinBox;
    field->setRange(min, max);
    field->setDecimals(decimals);
    field->setKeyboardTracking(false);
    field->setButtonSymbols(QAbstractSpinBox::NoButtons);
    field->setAlignment(Qt::AlignRight);
    field->setMinimumWidth(70);
    return field;
}

QComboBox* measureBox() {
    auto* box = new QComboBox;
    box->addItems({"px", "% of width", "% of height", "% of larger side", "% of smaller side"});
    return box;
}

int decimalsFor(double span) {
    return span <= 2 ? 3 : span <= 50 ? 2 : 1;
}

/// A number with its measure, bound both ways.
QWidget* relativeEditor(const std::shared_ptr<model::NumericValue>& value, QWidget* owner) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* field = numberField(-1e6, 1e6, 2);
    auto* measure = measureBox();
    layout->addWidget(field, 1);
    layout->addWidget(measure, 1);
    auto show = [field, measure, value] {
        QSignalBlocker a(field), b(measure);
        field->setValue(value->n());
        measure->setCurrentIndex(int(std::clamp<qint64>(value->measure(), 0, 4)));
    };
    show();
    QObject::connect(field, &QDoubleSpinBox::valueChanged, owner, [value](double v) { value->setN(v); });
    QObject::connect(measure, &QComboBox::activated, owner, [value](int i) { value->setMeasure(i); });
    QObject::connect(value.get(), &model::NumericValue::nChanged, row, show);
    QObject::connect(value.get(), &model::NumericValue::measureChanged, row, show);
    return row;
}

class ColorSwatch : public QPushButton {
  public:
    explicit ColorSwatch(std::shared_ptr<model::ColorValue> value) : value_(std::move(value)) {
        setFixedSize(56, 26);
        setCursor(Qt::PointingHandCursor);
        connect(value_.get(), &model::ColorValue::colorChanged, this, [this] { update(); });
        connect(this, &QPushButton::clicked, this, [this] {
            const QColor chosen =
                QColorDialog::getColor(value_->qColor(), this, "Choose Color",
                                       QColorDialog::ShowAlphaChannel | QColorDialog::DontUseNativeDialog);
            if (chosen.isValid())
                value_->setQColor(chosen);
        });
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QRect r = rect().adjusted(1, 1, -1, -1);
        for (int y = r.top(); y < r.bottom(); y += 6)
            for (int x = r.left(); x < r.right(); x += 6)
                p.fillRect(QRect(x, y, 6, 6).intersected(r),
                           ((x + y) / 6) % 2 ? QColor(0x99, 0x99, 0x99) : Qt::white);
        p.fillRect(r, value_->qColor());
        p.setPen(QColor(0x55, 0x55, 0x5a));
        p.drawRect(r);
        if (hasFocus())
            paintFocusRing(p, rect(), 3);
    }

  private:
    std::shared_ptr<model::ColorValue> value_;
};

QWidget* numericEditor(const std::shared_ptr<FilterParamValue>& value, QWidget* owner) {
    auto* box = new QWidget;
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    const bool ranged =
        value->type() == FilterParamValue::NumberWithRange && value->numericMaxV() > value->numericMinV();
    if (!ranged) {
        auto* field = numberField(-1e7, 1e7, 3);
        field->setValue(value->numericV());
        layout->addWidget(field);
        QObject::connect(field, &QDoubleSpinBox::valueChanged, owner,
                         [value](double v) { value->setNumericV(v); });
        QObject::connect(value.get(), &FilterParamValue::numericVChanged, field, [field, value] {
            QSignalBlocker b(field);
            field->setValue(value->numericV());
        });
        return box;
    }
    const double min = value->numericMinV();
    const double max = value->numericMaxV();
    constexpr int steps = 1000;
    auto* row = new QHBoxLayout;
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setRange(0, steps);
    // The arrow keys move by a hundredth of the range, Page Up and Down by a tenth.
    slider->setSingleStep(steps / 100);
    slider->setPageStep(steps / 10);
    auto* field = numberField(min, max, decimalsFor(max - min));
    field->setFixedWidth(72);
    row->addWidget(slider, 1);
    row->addWidget(field);
    layout->addLayout(row);
    auto* range = new QHBoxLayout;
    range->addWidget(caption(QString::number(min, 'g', 6)));
    range->addStretch(1);
    range->addWidget(caption(QString::number(max, 'g', 6)));
    range->addSpacing(80);
    layout->addLayout(range);
    auto show = [slider, field, value, min, max] {
        QSignalBlocker a(slider), b(field);
        const double v = value->numericV();
        slider->setValue(int(std::lround((std::clamp(v, min, max) - min) / (max - min) * steps)));
        field->setValue(v);
    };
    show();
    QObject::connect(slider, &QSlider::valueChanged, owner,
                     [value, min, max](int pos) { value->setNumericV(min + (max - min) * pos / steps); });
    QObject::connect(field, &QDoubleSpinBox::valueChanged, owner,
                     [value](double v) { value->setNumericV(v); });
    QObject::connect(value.get(), &FilterParamValue::numericVChanged, box, show);
    return box;
}

QWidget* colorEditor(const std::shared_ptr<FilterParamValue>& value) {
    auto color = value->colorV();
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* swatch = new ColorSwatch(color);
    swatch->setObjectName("colorSwatch");
    layout->addWidget(swatch);
    auto* text = caption({});
    layout->addWidget(text, 1);
    auto show = [text, color] {
        text->setText(QString("R %1  G %2  B %3  A %4")
                          .arg(color->red())
                          .arg(color->green())
                          .arg(color->blue())
                          .arg(color->alpha()));
    };
    show();
    QObject::connect(color.get(), &model::ColorValue::colorChanged, row, show);
    return row;
}

QWidget* imageEditor(app::AppDelegate& delegate, const std::shared_ptr<FilterParamValue>& value,
                     QWidget* owner) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* thumb = new QLabel;
    thumb->setFixedSize(64, 48);
    thumb->setAlignment(Qt::AlignCenter);
    thumb->setStyleSheet("background: #141416; border: 1px solid #3a3a3e; border-radius: 3px;");
    layout->addWidget(thumb);
    auto* right = new QVBoxLayout;
    auto* name = new QLabel;
    name->setTextFormat(Qt::PlainText);
    name->setStyleSheet("color: #c0c0c4;");
    auto* choose = new QPushButton(QString::fromUtf8("Choose\u2026"));
    choose->setObjectName("chooseImage");
    right->addWidget(name);
    right->addWidget(choose, 0, Qt::AlignLeft);
    layout->addLayout(right, 1);
    auto show = [&delegate, thumb, name, value] {
        const QString path = value->imageV() ? value->imageV()->s() : QString();
        name->setText(QFileInfo(path).fileName());
        name->setToolTip(plainToolTip(path));
        thumb->clear();
        runOffThread(
            delegate.work(), thumb, [path] { return loadImageFile(path, 128); },
            [thumb](const QImage& image) {
                if (!image.isNull())
                    thumb->setPixmap(QPixmap::fromImage(image.scaled(
                        thumb->size() - QSize(4, 4), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
            });
    };
    show();
    QObject::connect(choose, &QPushButton::clicked, owner,
                     [&delegate, value] { delegate.selectImageForParam(value); });
    if (value->imageV())
        QObject::connect(value->imageV().get(), &model::ImageValue::uChanged, row, show);
    return row;
}

QWidget* pointEditor(const std::shared_ptr<FilterParamValue>& value) {
    auto point = value->pointV();
    auto* box = new QWidget;
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* offsets = new QGridLayout;
    offsets->addWidget(caption("x"), 0, 0);
    offsets->addWidget(relativeEditor(point->x(), box), 0, 1);
    offsets->addWidget(caption("y"), 1, 0);
    offsets->addWidget(relativeEditor(point->y(), box), 1, 1);
    layout->addLayout(offsets, 1);
    auto gravity = point->gravity();
    auto* grid = new QGridLayout;
    grid->setSpacing(2);
    auto* group = new QButtonGroup(box);
    group->setExclusive(true);
    for (int g = 0; g < 9; ++g) {
        auto* b = new QToolButton;
        b->setCheckable(true);
        b->setFixedSize(18, 18);
        b->setToolTip(QStringList{"Top left", "Top", "Top right", "Left", "Centre", "Right", "Bottom left",
                                  "Bottom", "Bottom right"}[g]);
        b->setStyleSheet("QToolButton { background: #2f2f33; border: 1px solid #46464a; border-radius: 3px; }"
                         "QToolButton:checked { background: #3d7bd9; border-color: #5a94ea; }"
                         "QToolButton:focus { border: 2px solid #8cb8ff; }");
        group->addButton(b, g);
        grid->addWidget(b, g / 3, g % 3);
    }
    layout->addLayout(grid);
    auto show = [group, gravity] {
        if (auto* b = group->button(int(gravity->g())))
            b->setChecked(true);
    };
    show();
    QObject::connect(group, &QButtonGroup::idClicked, box, [gravity](int id) { gravity->setG(id); });
    QObject::connect(gravity.get(), &model::GravityValue::gChanged, box, show);
    return box;
}

QWidget* booleanEditor(const std::shared_ptr<FilterParamValue>& value) {
    auto flag = value->booleanV();
    auto* box = new QCheckBox(flag->qTitle());
    box->setChecked(flag->b());
    QObject::connect(box, &QCheckBox::toggled, box, [flag](bool on) { flag->setB(on); });
    QObject::connect(flag.get(), &model::BooleanValue::bChanged, box, [box, flag] {
        QSignalBlocker b(box);
        box->setChecked(flag->b());
    });
    return box;
}

QWidget* stringEditor(const std::shared_ptr<FilterParamValue>& value) {
    auto* field = new QLineEdit(value->qStringV());
    QObject::connect(field, &QLineEdit::textEdited, field,
                     [value](const QString& text) { value->setQStringV(text); });
    QObject::connect(value.get(), &FilterParamValue::stringVChanged, field, [field, value] {
        if (field->text() != value->qStringV())
            field->setText(value->qStringV());
    });
    return field;
}

QWidget* fontEditor(app::AppDelegate& delegate, const std::shared_ptr<FilterParamValue>& value) {
    auto font = value->fontV();
    auto* box = new QComboBox;
    box->addItems(delegate.AvailableFonts());
    box->setMaxVisibleItems(20);
    auto show = [box, font] {
        QSignalBlocker b(box);
        int i = box->findText(font->qName());
        if (i < 0) {
            box->insertItem(0, font->qName());
            i = 0;
        }
        box->setCurrentIndex(i);
    };
    show();
    QObject::connect(box, &QComboBox::textActivated, box,
                     [font](const QString& name) { font->setQName(name); });
    QObject::connect(font.get(), &model::FontValue::nameChanged, box, show);
    return box;
}

} // namespace

QWidget* makeParamEditor(app::AppDelegate& delegate, const std::shared_ptr<model::FilterParam>& param,
                         QWidget* parent) {
    auto value = param ? param->value() : nullptr;
    if (!value)
        return nullptr;
    auto* box = new QWidget(parent);
    box->setObjectName("paramEditor");
    box->setToolTip(param->qTooltip());
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 4, 0, 8);
    layout->setSpacing(4);
    auto* title = new QLabel(param->qName());
    title->setStyleSheet("color: #d8d8dc; font-weight: 600;");
    layout->addWidget(title);
    QWidget* editor = nullptr;
    switch (value->type()) {
    case FilterParamValue::NumberWithRange:
    case FilterParamValue::SingleNumber:
        editor = numericEditor(value, box);
        break;
    case FilterParamValue::RelativeNumber:
        if (value->relativeNumericV())
            editor = relativeEditor(value->relativeNumericV(), box);
        break;
    case FilterParamValue::Color:
        if (value->colorV())
            editor = colorEditor(value);
        break;
    case FilterParamValue::Image:
        editor = imageEditor(delegate, value, box);
        break;
    case FilterParamValue::Point:
        if (value->pointV())
            editor = pointEditor(value);
        break;
    case FilterParamValue::Boolean:
        if (value->booleanV()) {
            editor = booleanEditor(value);
            title->hide(); // the box carries its own title
        }
        break;
    case FilterParamValue::String:
        editor = stringEditor(value);
        break;
    case FilterParamValue::Font:
        if (value->fontV())
            editor = fontEditor(delegate, value);
        break;
    default:
        break;
    }
    if (!editor) {
        delete box;
        return nullptr;
    }
    editor->setProperty("paramType", qint64(value->type()));
    editor->setObjectName(QString("editor%1").arg(value->type()));
    layout->addWidget(editor);
    return box;
}

ParamPanel::ParamPanel(app::AppDelegate& delegate, QWidget* parent) : QWidget(parent), delegate_(delegate) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 8, 10, 10);
    layout->setSpacing(2);
    title_ = new QLabel;
    title_->setStyleSheet("font-weight: bold; font-size: 12pt; color: #f0f0f2;");
    subtitle_ = new QLabel;
    subtitle_->setStyleSheet("color: #8a8a90;");
    subtitle_->setWordWrap(true);
    layout->addWidget(title_);
    layout->addWidget(subtitle_);
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    // The editors inside take the focus (and scroll into view); the area is no stop of its own.
    scroll->setFocusPolicy(Qt::NoFocus);
    host_ = new QWidget;
    editors_ = new QVBoxLayout(host_);
    editors_->setContentsMargins(0, 6, 6, 0);
    editors_->setSpacing(4);
    editors_->addStretch(1);
    scroll->setWidget(host_);
    layout->addWidget(scroll, 1);
    connect(&delegate_, &app::AppDelegate::CurrentFiltersSelectionChanged, this, [this] { refresh(); });
    connect(&delegate_, &app::AppDelegate::CurrentFiltersChanged, this, [this] { refresh(); });
    refresh();
}

void ParamPanel::refresh() {
    const auto& steps = delegate_.CurrentFilters();
    const qint64 selected = delegate_.CurrentFiltersSelection();
    std::shared_ptr<model::Filter> step =
        selected >= 0 && selected < qint64(steps.size()) ? steps[size_t(selected)] : nullptr;
    if (step == step_ && (step || editors_->count() > 1 || !title_->text().isEmpty()))
        return;
    step_ = step;
    while (editors_->count() > 1) {
        auto* item = editors_->takeAt(0);
        if (auto* w = item->widget()) {
            w->hide();
            w->deleteLater();
        }
        delete item;
    }
    if (!step_) {
        title_->setText("Parameters");
        subtitle_->setText("Select a step of the workflow to edit its parameters.");
        return;
    }
    title_->setText(step_->qName());
    int added = 0;
    for (const auto& param : step_->params())
        if (auto* editor = makeParamEditor(delegate_, param))
            editors_->insertWidget(added++, editor);
    subtitle_->setText(added ? step_->qTooltip()
                             : step_->qTooltip() + (step_->qTooltip().isEmpty() ? "" : "\n") +
                                   "This step has no parameters.");
}

} // namespace ui

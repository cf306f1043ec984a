#include "ui/Theme.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>

namespace ui {

namespace {

const char* const styleSheet = R"(
QToolTip { color: #e8e8e8; background: #2b2b2d; border: 1px solid #4a4a4e; padding: 4px; }
QSplitter::handle { background: #161618; }
QSplitter::handle:horizontal { width: 1px; }
QSplitter::handle:vertical { height: 1px; }
QScrollBar:vertical { background: transparent; width: 10px; margin: 0; }
QScrollBar::handle:vertical { background: #4a4a4e; border-radius: 4px; min-height: 24px; margin: 1px; }
QScrollBar:horizontal { background: transparent; height: 10px; margin: 0; }
QScrollBar::handle:horizontal { background: #4a4a4e; border-radius: 4px; min-width: 24px; margin: 1px; }
QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; }
QScrollBar::add-page, QScrollBar::sub-page { background: none; }
QHeaderView::section { background: #252527; color: #a8a8ad; border: none; border-right: 1px solid #1b1b1d;
    border-bottom: 1px solid #1b1b1d; padding: 4px 6px; }
QTableView { background: #1e1e20; alternate-background-color: #232325; gridline-color: #2c2c2e;
    selection-background-color: #2f5fa8; border: 1px solid transparent; }
QListView { background: #1e1e20; border: 1px solid transparent; }
QTableView:focus, QListView:focus { border: 1px solid #8cb8ff; }
QLineEdit, QSpinBox, QDoubleSpinBox, QComboBox { background: #2a2a2d; color: #e6e6e6; border: 1px solid #3c3c40;
    border-radius: 4px; padding: 2px 6px; min-height: 20px; }
QLineEdit:focus, QSpinBox:focus, QDoubleSpinBox:focus, QComboBox:focus { border-color: #8cb8ff; }
QComboBox QAbstractItemView { background: #2a2a2d; selection-background-color: #2f5fa8; }
QPushButton { background: #333336; color: #e6e6e6; border: 1px solid #444448; border-radius: 5px;
    padding: 4px 12px; }
QPushButton:hover { background: #3b3b3f; }
QPushButton:pressed { background: #252527; }
QPushButton:disabled { color: #6c6c70; background: #2a2a2c; border-color: #333336; }
QPushButton:default { background: #2f5fa8; border-color: #3d7bd9; }
QPushButton:checked { background: #2f5fa8; border-color: #3d7bd9; }
QPushButton:default:disabled { background: #2a2a2c; border-color: #333336; }
QPushButton:focus { border: 2px solid #8cb8ff; padding: 3px 11px; }
QToolButton { color: #d6d6d8; background: transparent; border: 1px solid transparent; border-radius: 4px;
    padding: 1px; }
QToolButton:focus { border-color: #8cb8ff; }
QToolButton:hover { background: #3a3a3e; }
QToolButton:checked { background: #2f5fa8; color: white; }
QProgressBar { background: #2a2a2d; border: none; border-radius: 3px; height: 6px; text-align: center; }
QProgressBar::chunk { background: #3d7bd9; border-radius: 3px; }
QSlider::groove:horizontal { height: 4px; background: #3a3a3e; border-radius: 2px; }
QSlider::sub-page:horizontal { background: #3d7bd9; border-radius: 2px; }
QSlider::handle:horizontal { background: #e6e6e6; width: 14px; height: 14px; margin: -5px 0; border-radius: 7px; }
QSlider::handle:horizontal:disabled { background: #6c6c70; }
QSlider::handle:horizontal:focus { border: 2px solid #8cb8ff; width: 10px; height: 10px; }
QMenuBar { background: #232325; color: #dcdcde; }
QMenuBar::item:selected { background: #3a3a3e; }
QMenu { background: #2a2a2d; color: #e6e6e6; border: 1px solid #3c3c40; }
QMenu::item { padding: 4px 22px 4px 22px; }
QMenu::item:selected { background: #2f5fa8; }
QMenu::separator { height: 1px; background: #3c3c40; margin: 4px 8px; }
QCheckBox { color: #dcdcde; spacing: 6px; }
QLabel { color: #dcdcde; }
QTabBar::tab { background: #252527; color: #a8a8ad; padding: 5px 12px; border: none; }
QTabBar::tab:selected { background: #1e1e20; color: #f0f0f0; }
QTabWidget::pane { border: none; }
QMessageBox { background: #2a2a2d; }
QMessageBox QLabel#qt_msgbox_label { font-weight: bold; font-size: 11pt; color: #f0f0f2; min-width: 340px; }
QMessageBox QLabel#qt_msgbox_informativelabel { color: #c8c8cc; min-width: 340px; }
QMessageBox QPushButton { min-width: 72px; }
)";

/// Fusion with the check box drawn by us: a style sheet can only fill the box, and a filled
/// square alone does not read as "on".
class ThemeStyle : public QProxyStyle {
  public:
    explicit ThemeStyle(QStyle* base) : QProxyStyle(base) {}

    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
        if (metric == PM_IndicatorWidth || metric == PM_IndicatorHeight)
            return 16;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element != PE_IndicatorCheckBox) {
            QProxyStyle::drawPrimitive(element, option, painter, widget);
            return;
        }
        const bool enabled = option->state & State_Enabled;
        const bool on = option->state & State_On;
        const bool partly = option->state & State_NoChange;
        const bool focused = option->state & State_HasFocus;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(option->rect).adjusted(1, 1, -1, -1);
        QColor fill(0x2a, 0x2a, 0x2d), border(0x55, 0x55, 0x5a), mark(Qt::white);
        if (on || partly) {
            fill = QColor(0x3d, 0x7b, 0xd9);
            border = QColor(0x5a, 0x94, 0xea);
        }
        if (!enabled) {
            fill = on || partly ? QColor(0x3a, 0x3a, 0x3e) : QColor(0x23, 0x23, 0x25);
            border = QColor(0x3a, 0x3a, 0x3e);
            mark = QColor(0x8a, 0x8a, 0x90);
        }
        if (focused)
            border = QColor(0x8c, 0xb8, 0xff);
        painter->setPen(QPen(border, focused ? 2.0 : 1.0));
        painter->setBrush(fill);
        const double inset = focused ? 0.5 : 0.0;
        painter->drawRoundedRect(box.adjusted(inset, inset, -inset, -inset), 3, 3);
        QPen pen(mark, std::max(1.6, box.width() / 8));
        pen.setCapStyle(Qt::RoundCap);
        pen.setJoinStyle(Qt::RoundJoin);
        painter->setPen(pen);
        painter->setBrush(Qt::NoBrush);
        const double x = box.left(), y = box.top(), w = box.width(), h = box.height();
        if (partly) {
            painter->drawLine(QPointF(x + 0.28 * w, y + 0.5 * h), QPointF(x + 0.72 * w, y + 0.5 * h));
        } else if (on) {
            QPainterPath tick;
            tick.moveTo(x + 0.24 * w, y + 0.52 * h);
            tick.lineTo(x + 0.42 * w, y + 0.70 * h);
            tick.lineTo(x + 0.76 * w, y + 0.32 * h);
            painter->drawPath(tick);
        }
        painter->restore();
    }
};

} // namespace

void applyDarkTheme(QApplication& app) {
    // Fusion draws every control from the palette, so the dark colours reach dialogs as well.
    if (auto* fusion = QStyleFactory::create("Fusion"))
        app.setStyle(new ThemeStyle(fusion));
    QPalette p;
    const QColor window(0x1b, 0x1b, 0x1d);
    const QColor base(0x1e, 0x1e, 0x20);
    const QColor text(0xe6, 0xe6, 0xe6);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x23, 0x23, 0x25));
    p.setColor(QPalette::ToolTipBase, QColor(0x2b, 0x2b, 0x2d));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0x80, 0x80, 0x85));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x33, 0x33, 0x36));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, QColor(0x44, 0x44, 0x48));
    p.setColor(QPalette::Midlight, QColor(0x3a, 0x3a, 0x3e));
    p.setColor(QPalette::Mid, QColor(0x2a, 0x2a, 0x2d));
    p.setColor(QPalette::Dark, QColor(0x15, 0x15, 0x17));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Highlight, QColor(0x2f, 0x5f, 0xa8));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x5a, 0x9c, 0xf0));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(0x6c, 0x6c, 0x70));
    app.setPalette(p);
    app.setStyleSheet(styleSheet);
}

} // namespace ui

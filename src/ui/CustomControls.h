#pragma once

// The window's own small controls: the menu that turns "---" into a separator, the plain and the
// flat rounded buttons, the translucent overlay backing, the item view base of workflow steps,
// the enable switch and the busy indicator. None of them holds application state.

#include <QAbstractButton>
#include <QColor>
#include <QFrame>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

class QPainter;

namespace ui {

/// `text` as a tooltip that shows it as written. Qt reads a tooltip that looks like markup as rich
/// text, and a file's name, metadata or failure reason may look like anything.
QString plainToolTip(const QString& text);

class CustomMenu : public QMenu {
    Q_OBJECT
  public:
    explicit CustomMenu(const QString& title, QWidget* parent = nullptr) : QMenu(title, parent) {}
    /// A separator for the title "---" exactly; otherwise an ordinary item showing `title` as it
    /// stands (an "&" in a name is no accelerator).
    QAction* addItemWithTitle(const QString& title);
    QAction* insertItemWithTitle(const QString& title, int index);
    /// `title` as a menu text: every "&" doubled, so that it shows as written.
    static QString menuText(QString title);
};

class CustomButton : public QPushButton {
    Q_OBJECT
  public:
    using QPushButton::QPushButton;
};

class RoundedColorButton : public QPushButton {
    Q_OBJECT
    Q_PROPERTY(QColor bgColor MEMBER bgColor)
    Q_PROPERTY(QColor foreColor MEMBER foreColor)
    Q_PROPERTY(QColor highlightColor MEMBER highlightColor)
    Q_PROPERTY(QColor disabledColor MEMBER disabledColor)
    Q_PROPERTY(double cornerRadius MEMBER cornerRadius)
  public:
    explicit RoundedColorButton(const QString& text = {}, QWidget* parent = nullptr);

    QColor bgColor = QColor(0x40, 0x40, 0x40);
    QColor foreColor = Qt::white;
    QColor highlightColor = Qt::black;
    QColor disabledColor = Qt::black;
    double cornerRadius = 8.0;

    /// The background the next paint uses, from the enabled and pressed states.
    QColor currentBackground() const;
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

/// The ring drawn around a custom-painted control while it has the keyboard focus.
void paintFocusRing(QPainter& painter, const QRectF& rect, double radius);

/// Black at 80 % over whatever lies beneath.
class TranslucentView : public QWidget {
    Q_OBJECT
  public:
    explicit TranslucentView(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

/// The view of one workflow step.
class FilterViewController : public QFrame {
    Q_OBJECT
  public:
    using QFrame::QFrame;
};

/// A small on/off switch.
class ToggleSwitch : public QAbstractButton {
    Q_OBJECT
  public:
    explicit ToggleSwitch(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {30, 16}; }

  protected:
    void paintEvent(QPaintEvent* event) override;
};

/// A spinning arc while busy; invisible otherwise.
class Spinner : public QWidget {
    Q_OBJECT
  public:
    explicit Spinner(QWidget* parent = nullptr);
    void setSpinning(bool on);
    bool isSpinning() const { return timer_.isActive(); }
    QSize sizeHint() const override { return {18, 18}; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QTimer timer_;
    int angle_ = 0;
};

} // namespace ui

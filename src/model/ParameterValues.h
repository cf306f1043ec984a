#pragma once

// The small value objects a parameter holds: numbers relative to the image size, flags, image
// files, fonts, anchors, points and colours. They are reference objects (std::shared_ptr) and
// are often shared: a setter's change is seen by every holder. Setters that change what the
// preview shows post "RequiresPreviewRegeneration" on every call; construction and decoding
// never post. Edited on the GUI thread only; other threads work on copies.

#include "model/Coding.h"

#include "ci/core/Value.h"

#include <QColor>
#include <QObject>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <memory>
#include <string>

namespace model {

/// Posts "RequiresPreviewRegeneration" on the default centre, synchronously.
void postPreviewRegeneration();

class NumericValue : public QObject {
    Q_OBJECT
    Q_PROPERTY(double n READ n WRITE setN NOTIFY nChanged)
    Q_PROPERTY(qint64 measure READ measure WRITE setMeasure NOTIFY measureChanged)
  public:
    /// How `n` is read against an image.
    enum Measure : int64_t {
        Absolute = 0,
        PercentOfWidth = 1,
        PercentOfHeight = 2,
        PercentOfLarger = 3,
        PercentOfSmaller = 4
    };

    NumericValue(double n, int64_t measure);
    static std::shared_ptr<NumericValue> make(double n, int64_t measure) {
        return std::make_shared<NumericValue>(n, measure);
    }

    double n() const { return n_; }
    void setN(double n);
    qint64 measure() const { return measure_; }
    void setMeasure(qint64 measure);

    /// `n` in pixels of an image of that size (percent of a side for measures 1 to 4).
    double relativeValue(int64_t width, int64_t height) const;

    Json encode() const;
    static std::shared_ptr<NumericValue> decode(const KeyedContainer& c);

  Q_SIGNALS:
    void nChanged();
    void measureChanged();

  private:
    double n_;
    int64_t measure_;
};

class BooleanValue : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool b READ b WRITE setB NOTIFY bChanged)
    Q_PROPERTY(QString title READ qTitle WRITE setQTitle NOTIFY titleChanged)
  public:
    BooleanValue(bool b, std::string title);
    static std::shared_ptr<BooleanValue> make(bool b, std::string title) {
        return std::make_shared<BooleanValue>(b, std::move(title));
    }

    bool b() const { return b_; }
    void setB(bool b);
    const std::string& title() const { return title_; }
    void setTitle(std::string title);
    QString qTitle() const { return QString::fromStdString(title_); }
    void setQTitle(const QString& title) { setTitle(title.toStdString()); }

    Json encode() const;
    static std::shared_ptr<BooleanValue> decode(const KeyedContainer& c);

  Q_SIGNALS:
    void bChanged();
    void titleChanged();

  private:
    bool b_;
    std::string title_;
};

class ImageValue : public QObject {
    Q_OBJECT
    Q_PROPERTY(QUrl u READ u WRITE setU NOTIFY uChanged)
    Q_PROPERTY(QString s READ s NOTIFY sChanged)
  public:
    explicit ImageValue(QUrl url);
    static std::shared_ptr<ImageValue> make(QUrl url) { return std::make_shared<ImageValue>(std::move(url)); }

    /// The image file (stored under "_u").
    const QUrl& u() const { return u_; }
    void setU(const QUrl& url);
    /// The file system path of `u`, for display.
    QString s() const;

    Json encode() const;
    static std::shared_ptr<ImageValue> decode(const KeyedContainer& c);

  Q_SIGNALS:
    void uChanged();
    void sChanged();

  private:
    QUrl u_;
};

/// A new image value for an image shipped with the application.
std::shared_ptr<ImageValue> imageValueForResource(const std::string& name);

class FontValue : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString name READ qName WRITE setQName NOTIFY nameChanged)
  public:
    explicit FontValue(std::string name);
    static std::shared_ptr<FontValue> make(std::string name) {
        return std::make_shared<FontValue>(std::move(name));
    }

    const std::string& name() const { return name_; }
    void setName(std::string name);
    QString qName() const { return QString::fromStdString(name_); }
    void setQName(const QString& name) { setName(name.toStdString()); }

    Json encode() const;
    static std::shared_ptr<FontValue> decode(const KeyedContainer& c);

  Q_SIGNALS:
    void nameChanged();

  private:
    std::string name_;
};

/// A point of an image, origin at the bottom left, y upwards.
struct Anchor {
    int64_t x = 0;
    int64_t y = 0;
    bool operator==(const Anchor&) const = default;
};

class GravityValue : public QObject {
    Q_OBJECT
    Q_PROPERTY(qint64 g READ g WRITE setG NOTIFY gChanged)
    Q_PROPERTY(bool isGUpLeft READ isGUpLeft WRITE setIsGUpLeft NOTIFY gChanged)
    Q_PROPERTY(bool isGUp READ isGUp WRITE setIsGUp NOTIFY gChanged)
    Q_PROPERTY(bool isGUpRight READ isGUpRight WRITE setIsGUpRight NOTIFY gChanged)
    Q_PROPERTY(bool isGLeft READ isGLeft WRITE setIsGLeft NOTIFY gChanged)
    Q_PROPERTY(bool isGCenter READ isGCenter WRITE setIsGCenter NOTIFY gChanged)
    Q_PROPERTY(bool isGRight READ isGRight WRITE setIsGRight NOTIFY gChanged)
    Q_PROPERTY(bool isGBottomLeft READ isGBottomLeft WRITE setIsGBottomLeft NOTIFY gChanged)
    Q_PROPERTY(bool isGBottom READ isGBottom WRITE setIsGBottom NOTIFY gChanged)
    Q_PROPERTY(bool isGBottomRight READ isGBottomRight WRITE setIsGBottomRight NOTIFY gChanged)
  public:
    enum Code : int64_t { upLeft = 0, up, upRight, left, center, right, bottomLeft, bottom, bottomRight };

    explicit GravityValue(int64_t g);
    static std::shared_ptr<GravityValue> make(int64_t g) { return std::make_shared<GravityValue>(g); }

    qint64 g() const { return g_; }
    void setG(qint64 g);

    // Each is true for its own code; each setter ignores its argument and selects its code.
    bool isGUpLeft() const { return g_ == upLeft; }
    bool isGUp() const { return g_ == up; }
    bool isGUpRight() const { return g_ == upRight; }
    bool isGLeft() const { return g_ == left; }
    bool isGCenter() const { return g_ == center; }
    bool isGRight() const { return g_ == right; }
    bool isGBottomLeft() const { return g_ == bottomLeft; }
    bool isGBottom() const { return g_ == bottom; }
    bool isGBottomRight() const { return g_ == bottomRight; }
    void setIsGUpLeft(bool) { select(upLeft); }
    void setIsGUp(bool) { select(up); }
    void setIsGUpRight(bool) { select(upRight); }
    void setIsGLeft(bool) { select(left); }
    void setIsGCenter(bool) { select(center); }
    void setIsGRight(bool) { select(right); }
    void setIsGBottomLeft(bool) { select(bottomLeft); }
    void setIsGBottom(bool) { select(bottom); }
    void setIsGBottomRight(bool) { select(bottomRight); }

    /// The anchor point in an image of that size (halves truncated); (0, 0) and a console
    /// line for a code outside 0 to 8.
    Anchor anchor(int64_t width, int64_t height) const;

    Json encode() const;
    static std::shared_ptr<GravityValue> decode(const KeyedContainer& c);

  Q_SIGNALS:
    void gChanged();

  private:
    void select(int64_t code) { setG(code); }
    int64_t g_;
};

class PointValue : public QObject {
    Q_OBJECT
    Q_PROPERTY(QObject* x READ xObject NOTIFY xChanged)
    Q_PROPERTY(QObject* y READ yObject NOTIFY yChanged)
    Q_PROPERTY(QObject* gravity READ gravityObject NOTIFY gravityChanged)
  public:
    /// New offsets of measure 0; the gravity object is kept, not copied.
    PointValue(double x, double y, std::shared_ptr<GravityValue> gravity);
    PointValue(std::shared_ptr<NumericValue> x, std::shared_ptr<NumericValue> y,
               std::shared_ptr<GravityValue> gravity);
    static std::shared_ptr<PointValue> make(double x, double y, std::shared_ptr<GravityValue> gravity) {
        return std::make_shared<PointValue>(x, y, std::move(gravity));
    }

    const std::shared_ptr<NumericValue>& x() const { return x_; }
    void setX(std::shared_ptr<NumericValue> x);
    const std::shared_ptr<NumericValue>& y() const { return y_; }
    void setY(std::shared_ptr<NumericValue> y);
    const std::shared_ptr<GravityValue>& gravity() const { return gravity_; }
    void setGravity(std::shared_ptr<GravityValue> gravity);

    QObject* xObject() const { return x_.get(); }
    QObject* yObject() const { return y_.get(); }
    QObject* gravityObject() const { return gravity_.get(); }

    Json encode() const;
    static std::shared_ptr<PointValue> decode(const KeyedContainer& c);

  Q_SIGNALS:
    void xChanged();
    void yChanged();
    void gravityChanged();

  private:
    std::shared_ptr<NumericValue> x_;
    std::shared_ptr<NumericValue> y_;
    std::shared_ptr<GravityValue> gravity_;
};

class ColorValue : public QObject {
    Q_OBJECT
    Q_PROPERTY(qint64 red READ red WRITE setRed NOTIFY redChanged)
    Q_PROPERTY(qint64 green READ green WRITE setGreen NOTIFY greenChanged)
    Q_PROPERTY(qint64 blue READ blue WRITE setBlue NOTIFY blueChanged)
    Q_PROPERTY(qint64 alpha READ alpha WRITE setAlpha NOTIFY alphaChanged)
    Q_PROPERTY(QColor color READ qColor WRITE setQColor NOTIFY colorChanged)
    Q_PROPERTY(
        qint64 minComponentValue READ minComponentValue WRITE setMinComponentValue NOTIFY boundsChanged)
    Q_PROPERTY(
        qint64 maxComponentValue READ maxComponentValue WRITE setMaxComponentValue NOTIFY boundsChanged)
  public:
    /// Components 0 to 255.
    ColorValue(int64_t red, int64_t green, int64_t blue, int64_t alpha);
    static std::shared_ptr<ColorValue> make(int64_t red, int64_t green, int64_t blue, int64_t alpha) {
        return std::make_shared<ColorValue>(red, green, blue, alpha);
    }

    qint64 red() const { return red_; }
    qint64 green() const { return green_; }
    qint64 blue() const { return blue_; }
    qint64 alpha() const { return alpha_; }
    void setRed(qint64 v);
    void setGreen(qint64 v);
    void setBlue(qint64 v);
    void setAlpha(qint64 v);

    /// The colour: sRGB components 0 to 1 (the components divided by 255, unless the colour
    /// itself was set last).
    const ci::Color& color() const { return color_; }
    /// Keeps the colour as given; the components become its own truncated to whole 255ths.
    void setColor(const ci::Color& color);
    QColor qColor() const;
    void setQColor(const QColor& color);

    qint64 minComponentValue() const { return minComponentValue_; }
    void setMinComponentValue(qint64 v);
    qint64 maxComponentValue() const { return maxComponentValue_; }
    void setMaxComponentValue(qint64 v);

    /// The colour of four components 0 to 255; components outside the range are clamped.
    static ci::Color colorFromComponents(int64_t red, int64_t green, int64_t blue, int64_t alpha);

    Json encode() const;
    static std::shared_ptr<ColorValue> decode(const KeyedContainer& c);

  Q_SIGNALS:
    void redChanged();
    void greenChanged();
    void blueChanged();
    void alphaChanged();
    void colorChanged();
    void boundsChanged();

  private:
    void componentsChanged();

    int64_t minComponentValue_ = 0;
    int64_t maxComponentValue_ = 255;
    int64_t red_, green_, blue_, alpha_;
    ci::Color color_;
};

// ---- Shared default objects: made once on first use, referenced (never copied) by every holder.

const std::shared_ptr<PointValue>& centrePoint();
const std::shared_ptr<ImageValue>& metalRoofImage();
const std::shared_ptr<ImageValue>& createdWithImage();
const std::shared_ptr<ColorValue>& blackColor();
const std::shared_ptr<NumericValue>& zeroNumber();
const std::shared_ptr<ColorValue>& clearWhiteColor();
const std::shared_ptr<FontValue>& helveticaFont();
const std::shared_ptr<ImageValue>& placeholderImage();
const std::shared_ptr<PointValue>& defaultPoint();
const std::shared_ptr<BooleanValue>& defaultBoolean();
const std::shared_ptr<GravityValue>& centreGravity();

} // namespace model

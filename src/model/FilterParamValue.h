#pragma once

// The value of one parameter of a workflow step: a slot for every kind of value and a type code
// that says which slot counts. Slots a value does not use keep referring to the shared defaults.

#include "model/Coding.h"
#include "model/ParameterValues.h"

#include "ci/core/Value.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>

namespace model {

class FilterParamValue : public QObject {
    Q_OBJECT
    Q_PROPERTY(QObject* colorV READ colorVObject NOTIFY colorVChanged)
    Q_PROPERTY(QObject* imageV READ imageVObject NOTIFY imageVChanged)
    Q_PROPERTY(QObject* pointV READ pointVObject NOTIFY pointVChanged)
    Q_PROPERTY(QObject* fontV READ fontVObject NOTIFY fontVChanged)
    Q_PROPERTY(double numericV READ numericV WRITE setNumericV NOTIFY numericVChanged)
    Q_PROPERTY(double numericMinV READ numericMinV WRITE setNumericMinV NOTIFY numericMinVChanged)
    Q_PROPERTY(double numericMaxV READ numericMaxV WRITE setNumericMaxV NOTIFY numericMaxVChanged)
    Q_PROPERTY(QObject* relativeNumericV READ relativeNumericVObject NOTIFY relativeNumericVChanged)
    Q_PROPERTY(QObject* booleanV READ booleanVObject NOTIFY booleanVChanged)
    Q_PROPERTY(QString stringV READ qStringV WRITE setQStringV NOTIFY stringVChanged)
    Q_PROPERTY(bool dontCalculatePoints READ dontCalculatePoints WRITE setDontCalculatePoints NOTIFY
                   dontCalculatePointsChanged)
    Q_PROPERTY(qint64 type READ type WRITE setType NOTIFY typeChanged)
    Q_PROPERTY(bool isNumeric READ isNumeric NOTIFY typeChanged)
    Q_PROPERTY(bool isRelativeNumeric READ isRelativeNumeric NOTIFY typeChanged)
    Q_PROPERTY(bool isColor READ isColor NOTIFY typeChanged)
    Q_PROPERTY(bool isImage READ isImage NOTIFY typeChanged)
    Q_PROPERTY(bool isPoint READ isPoint NOTIFY typeChanged)
    Q_PROPERTY(bool isBoolean READ isBoolean NOTIFY typeChanged)
    Q_PROPERTY(bool isString READ isString NOTIFY typeChanged)
    Q_PROPERTY(bool isFont READ isFont NOTIFY typeChanged)
  public:
    enum Type : int64_t {
        NumberWithRange = 0,
        SingleNumber = 1,
        RelativeNumber = 2,
        Color = 3,
        Image = 4,
        Point = 5,
        Boolean = 6,
        String = 7,
        Font = 8,
        Unset = 10
    };

    /// Every slot at its default, type unset. The typed makers below are the usual way in.
    FilterParamValue();

    // Typed makers: every slot at its default, then the slot(s) of the kind and the type. Objects
    // are kept, not copied.
    static std::shared_ptr<FilterParamValue> numeric(double value, double min, double max);
    static std::shared_ptr<FilterParamValue> number(double value);
    static std::shared_ptr<FilterParamValue> relativeNumeric(std::shared_ptr<NumericValue> value);
    static std::shared_ptr<FilterParamValue> color(std::shared_ptr<ColorValue> value);
    static std::shared_ptr<FilterParamValue> image(std::shared_ptr<ImageValue> value);
    static std::shared_ptr<FilterParamValue> point(std::shared_ptr<PointValue> value,
                                                   bool dontCalculatePoints);
    static std::shared_ptr<FilterParamValue> boolean(std::shared_ptr<BooleanValue> value);
    static std::shared_ptr<FilterParamValue> string(std::string value);
    static std::shared_ptr<FilterParamValue> font(std::shared_ptr<FontValue> value);

    const std::shared_ptr<ColorValue>& colorV() const { return colorV_; }
    void setColorV(std::shared_ptr<ColorValue> v);
    const std::shared_ptr<ImageValue>& imageV() const { return imageV_; }
    void setImageV(std::shared_ptr<ImageValue> v);
    const std::shared_ptr<PointValue>& pointV() const { return pointV_; }
    void setPointV(std::shared_ptr<PointValue> v);
    const std::shared_ptr<FontValue>& fontV() const { return fontV_; }
    void setFontV(std::shared_ptr<FontValue> v);
    double numericV() const { return numericV_; }
    void setNumericV(double v); // posts
    double numericMinV() const { return numericMinV_; }
    void setNumericMinV(double v);
    double numericMaxV() const { return numericMaxV_; }
    void setNumericMaxV(double v);
    const std::shared_ptr<NumericValue>& relativeNumericV() const { return relativeNumericV_; }
    void setRelativeNumericV(std::shared_ptr<NumericValue> v); // posts
    const std::shared_ptr<BooleanValue>& booleanV() const { return booleanV_; }
    void setBooleanV(std::shared_ptr<BooleanValue> v);
    const std::string& stringV() const { return stringV_; }
    void setStringV(std::string v); // posts
    bool dontCalculatePoints() const { return dontCalculatePoints_; }
    void setDontCalculatePoints(bool v);
    qint64 type() const { return type_; }
    void setType(qint64 v);

    bool isNumeric() const { return type_ == NumberWithRange || type_ == SingleNumber; }
    bool isRelativeNumeric() const { return type_ == RelativeNumber; }
    bool isColor() const { return type_ == Color; }
    bool isImage() const { return type_ == Image; }
    bool isPoint() const { return type_ == Point; }
    bool isBoolean() const { return type_ == Boolean; }
    bool isString() const { return type_ == String; }
    bool isFont() const { return type_ == Font; }

    /// The filter input for an image of that pixel size. Nothing (a value of kind None) when
    /// the image file cannot be read or a point does not fit in whole pixels; the integer 0
    /// and a console line for a type without a kind.
    ci::Value coreImageValue(int64_t width, int64_t height) const;

    Json encode() const;
    static std::shared_ptr<FilterParamValue> decode(const KeyedContainer& c);

    QObject* colorVObject() const { return colorV_.get(); }
    QObject* imageVObject() const { return imageV_.get(); }
    QObject* pointVObject() const { return pointV_.get(); }
    QObject* fontVObject() const { return fontV_.get(); }
    QObject* relativeNumericVObject() const { return relativeNumericV_.get(); }
    QObject* booleanVObject() const { return booleanV_.get(); }
    QString qStringV() const { return QString::fromStdString(stringV_); }
    void setQStringV(const QString& v) { setStringV(v.toStdString()); }

  Q_SIGNALS:
    void colorVChanged();
    void imageVChanged();
    void pointVChanged();
    void fontVChanged();
    void numericVChanged();
    void numericMinVChanged();
    void numericMaxVChanged();
    void relativeNumericVChanged();
    void booleanVChanged();
    void stringVChanged();
    void dontCalculatePointsChanged();
    void typeChanged();

  private:
    std::shared_ptr<ColorValue> colorV_;
    std::shared_ptr<ImageValue> imageV_;
    std::shared_ptr<PointValue> pointV_;
    std::shared_ptr<FontValue> fontV_;
    double numericV_ = 0;
    double numericMinV_ = 0;
    double numericMaxV_ = 0;
    std::shared_ptr<NumericValue> relativeNumericV_;
    std::shared_ptr<BooleanValue> booleanV_;
    std::string stringV_;
    bool dontCalculatePoints_ = false;
    int64_t type_ = Unset;
};

} // namespace model

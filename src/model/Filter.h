#pragma once

// Workflow steps and catalogue entries (`Filter`), their inputs (`FilterParam`) and the named
// lists of the catalogue (`FilterCategory`).

#include "model/Coding.h"
#include "model/FilterParamValue.h"
#include "model/ImageOperations.h"

#include "platform/WindowImage.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QMimeData;

namespace model {

class FilterParam : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString name READ qName WRITE setQName NOTIFY nameChanged)
    Q_PROPERTY(QString sys READ qSys NOTIFY sysChanged)
    Q_PROPERTY(QString tooltip READ qTooltip NOTIFY tooltipChanged)
    Q_PROPERTY(QObject* value READ valueObject NOTIFY valueChanged)
    Q_PROPERTY(QObject* sampleV READ sampleVObject NOTIFY sampleVChanged)
  public:
    /// Empty texts; `value` and `sampleV` are both the one shared unset value.
    FilterParam();
    FilterParam(std::string name, std::string sys, std::string tooltip,
                std::shared_ptr<FilterParamValue> value, std::shared_ptr<FilterParamValue> sampleV);
    static std::shared_ptr<FilterParam> make(std::string name, std::string sys, std::string tooltip,
                                             std::shared_ptr<FilterParamValue> value,
                                             std::shared_ptr<FilterParamValue> sampleV) {
        return std::make_shared<FilterParam>(std::move(name), std::move(sys), std::move(tooltip),
                                             std::move(value), std::move(sampleV));
    }

    /// The value of parameters made without one: a single number 18966 turned unset.
    static const std::shared_ptr<FilterParamValue>& sharedUnsetValue();

    const std::string& name() const { return name_; }
    void setName(std::string v);
    const std::string& sys() const { return sys_; }
    void setSys(std::string v);
    const std::string& tooltip() const { return tooltip_; }
    void setTooltip(std::string v);
    const std::shared_ptr<FilterParamValue>& value() const { return value_; }
    void setValue(std::shared_ptr<FilterParamValue> v);
    const std::shared_ptr<FilterParamValue>& sampleV() const { return sampleV_; }
    void setSampleV(std::shared_ptr<FilterParamValue> v);

    QString qName() const { return QString::fromStdString(name_); }
    void setQName(const QString& v) { setName(v.toStdString()); }
    QString qSys() const { return QString::fromStdString(sys_); }
    QString qTooltip() const { return QString::fromStdString(tooltip_); }
    QObject* valueObject() const { return value_.get(); }
    QObject* sampleVObject() const { return sampleV_.get(); }

    Json encode() const;
    static std::shared_ptr<FilterParam> decode(const KeyedContainer& c);

  Q_SIGNALS:
    void nameChanged();
    void sysChanged();
    void tooltipChanged();
    void valueChanged();
    void sampleVChanged();

  private:
    std::string name_;
    std::string sys_;
    std::string tooltip_;
    std::shared_ptr<FilterParamValue> value_;
    std::shared_ptr<FilterParamValue> sampleV_;
};

using FilterParams = std::vector<std::shared_ptr<FilterParam>>;

/// What the start-up overlay exposes to the per-entry tick (the controller implements it).
class LoadingProgressTarget {
  public:
    virtual ~LoadingProgressTarget() = default;
    virtual void setProgressOverlayMessage(const QString& text) = 0;
    virtual void setProgressOverlaySubMessage(const QString& text) = 0;
    virtual qint64 ProgressOverlayCurrent() const = 0;
    virtual void setProgressOverlayCurrent(qint64 value) = 0;
};

/// The controller the catalogue's sample renders tick; empty until the catalogue loading sets it.
/// Main queue only.
std::shared_ptr<LoadingProgressTarget> loadingProgressTarget();
void setLoadingProgressTarget(std::shared_ptr<LoadingProgressTarget> target);

/// The application image "the_image": the sample of every step that has not rendered one.
const platform::WindowImage& defaultSampleImage();
/// "the_image" reduced to a quarter: the base of every catalogue sample.
const platform::WindowImage& sharedSampleImage();

class Filter : public QObject, public std::enable_shared_from_this<Filter> {
    Q_OBJECT
    Q_PROPERTY(QString name READ qName WRITE setQName NOTIFY nameChanged)
    Q_PROPERTY(QString sys READ qSys NOTIFY sysChanged)
    Q_PROPERTY(QString tooltip READ qTooltip NOTIFY tooltipChanged)
    Q_PROPERTY(QString parent READ qParent NOTIFY parentChanged)
    Q_PROPERTY(bool isEnabled READ isEnabled WRITE setIsEnabled NOTIFY isEnabledChanged)
    Q_PROPERTY(bool isCurrent READ isCurrent WRITE setIsCurrent NOTIFY isCurrentChanged)
    Q_PROPERTY(qint64 sourceIndx READ sourceIndx WRITE setSourceIndx NOTIFY sourceIndxChanged)
  public:
    /// A step with these fields; the rest at their defaults (sample "the_image", enabled, not
    /// current, no source index).
    Filter(std::string name, std::string sys, std::string tooltip, FilterParams params);
    static std::shared_ptr<Filter> make(std::string name, std::string sys, std::string tooltip,
                                        FilterParams params = {}) {
        return std::make_shared<Filter>(std::move(name), std::move(sys), std::move(tooltip),
                                        std::move(params));
    }

    const std::string& name() const { return name_; }
    void setName(std::string v);
    const std::string& sys() const { return sys_; }
    void setSys(std::string v);
    const std::string& tooltip() const { return tooltip_; }
    void setTooltip(std::string v);
    const FilterParams& params() const { return params_; }
    void setParams(FilterParams v);
    const std::string& parent() const { return parent_; }
    void setParent(std::string v);
    const platform::WindowImage& sample() const { return sample_; }
    void setSample(platform::WindowImage v);
    bool isEnabled() const { return isEnabled_; }
    void setIsEnabled(bool v); // posts
    bool isCurrent() const { return isCurrent_; }
    void setIsCurrent(bool v);
    qint64 sourceIndx() const { return sourceIndx_; }
    void setSourceIndx(qint64 v);

    QString qName() const { return QString::fromStdString(name_); }
    void setQName(const QString& v) { setName(v.toStdString()); }
    QString qSys() const { return QString::fromStdString(sys_); }
    QString qTooltip() const { return QString::fromStdString(tooltip_); }
    QString qParent() const { return QString::fromStdString(parent_); }

    /// The filter name and its inputs for an image of that pixel size, from the sample values
    /// or the real ones. Angles of built-in filters are given in degrees and passed in radians.
    FilterStep parameterDictionary(int64_t width, int64_t height, bool useSample) const;

    /// Renders this entry's thumbnail on the calling thread and sets `sample`; queues the
    /// start-up overlay's tick on the main queue first. Needs the step to be owned by a
    /// std::shared_ptr when it may be destroyed before the tick runs.
    void generateSample();
    /// The two halves of generateSample(): the overlay's tick queued on the main queue, and the
    /// render (any thread; entries may render at the same time).
    void queueLoadingTick();
    void renderSample();
    /// The overlay tick of this entry (main queue).
    void advanceLoadingProgress() const;

    /// An independent copy equal to what the pasteboard form decodes to (sample at its default).
    std::shared_ptr<Filter> copy() const;

    Json encode() const;
    static std::shared_ptr<Filter> decode(const KeyedContainer& c);

    // ---- Pasteboard form
    static QStringList readableTypesForPasteboard();
    QStringList writableTypesForPasteboard() const;
    /// The encoded step for the private step type; nothing for any other type.
    std::optional<QByteArray> pasteboardPropertyListForType(const QString& type) const;
    /// A step from pasteboard data; the defaults when the data cannot be decoded.
    static std::shared_ptr<Filter> initWithPasteboardPropertyList(const QByteArray& data,
                                                                  const QString& type);
    /// Adds this step's pasteboard form to the mime data.
    void writeToMimeData(QMimeData& mime) const;
    /// The step in the mime data, or nullptr when it holds none that decodes.
    static std::shared_ptr<Filter> readFromMimeData(const QMimeData& mime);

  Q_SIGNALS:
    void nameChanged();
    void sysChanged();
    void tooltipChanged();
    void paramsChanged();
    void parentChanged();
    void sampleChanged();
    void isEnabledChanged();
    void isCurrentChanged();
    void sourceIndxChanged();

  private:
    std::string name_;
    std::string sys_;
    std::string tooltip_;
    FilterParams params_;
    std::string parent_;
    platform::WindowImage sample_;
    bool isEnabled_ = true;
    bool isCurrent_ = false;
    int64_t sourceIndx_ = -1;
};

using Filters = std::vector<std::shared_ptr<Filter>>;

class FilterCategory : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString name READ qName NOTIFY nameChanged)
  public:
    /// Names each entry's parent ("category → entry") and renders the samples, several at a time;
    /// each entry's overlay tick is queued in list order before its own render starts.
    FilterCategory(std::string name, Filters filters);
    static std::shared_ptr<FilterCategory> make(std::string name, Filters filters) {
        return std::make_shared<FilterCategory>(std::move(name), std::move(filters));
    }

    const std::string& name() const { return name_; }
    void setName(std::string v);
    const Filters& filters() const { return filters_; }
    void setFilters(Filters v);
    QString qName() const { return QString::fromStdString(name_); }

  Q_SIGNALS:
    void nameChanged();
    void filtersChanged();

  private:
    std::string name_;
    Filters filters_;
};

} // namespace model

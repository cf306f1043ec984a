#pragma once

// What the system's own actions share: inputs held as properties named by their keys, the
// round trip through the window image, and pictures drawn with Qt turned into engine images.

#include "ci/core/Filter.h"
#include "platform/WindowImage.h"

#include <QImage>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace filters::actions {

/// Base of the actions: every input is a property read and written by its key. A key the action
/// does not have writes "Invalid key: " and the key and changes nothing; a value of the wrong
/// kind is refused and leaves the property as it was.
class ActionFilter : public ci::Filter {
  public:
    ActionFilter(const ActionFilter&) = delete;
    ActionFilter& operator=(const ActionFilter&) = delete;

    /// An absent value clears an image or vector property and restores any other to its start
    /// value. Numbers are stored unchanged, even when not finite: each action decides what such a
    /// number gives.
    ci::SetResult setValue(const std::string& key, const ci::Value& value) override;
    ci::Value value(const std::string& key) const override;
    std::vector<std::string> inputKeys() const override;

  protected:
    ActionFilter() = default;

    void property(std::string key, ci::Image& field);
    void property(std::string key, double& field, double start);
    void property(std::string key, bool& field, bool start);
    void property(std::string key, std::string& field, std::string start);
    void property(std::string key, std::optional<ci::Vector>& field);
    void property(std::string key, ci::Color& field, ci::Color start);

  private:
    using Field =
        std::variant<ci::Image*, double*, bool*, std::string*, std::optional<ci::Vector>*, ci::Color*>;
    struct Property {
        std::string key;
        Field field;
        ci::Value start;
    };
    const Property* find(const std::string& key) const;
    std::vector<Property> properties_;
};

/// A window image holding the engine image, of the image's extent size.
platform::WindowImage wrap(const ci::Image& image);
/// The window image's picture back as an engine image at the origin; null for nothing.
ci::Image unwrap(const std::optional<platform::WindowImage>& image);

/// The number truncated toward zero, when it is finite and fits a signed 64-bit integer.
std::optional<int64_t> wholeNumber(double v);

/// An 8-bit picture drawn with Qt as an engine image at the origin (premultiplied, linear);
/// the top row of the picture becomes the top of the image. Null for a null picture.
ci::Image engineImage(const QImage& picture);

} // namespace filters::actions

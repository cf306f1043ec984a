#pragma once

#include "Image.h"
#include "Value.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ci {

/// A filter's self-description: display name, categories and one entry per input, in the
/// shape of a keyed dictionary ("CIAttributeFilterDisplayName", "inputRadius" -> {...}).
using Attributes = nlohmann::ordered_json;

namespace attr {
inline constexpr const char* FilterName = "CIAttributeFilterName";
inline constexpr const char* FilterDisplayName = "CIAttributeFilterDisplayName";
inline constexpr const char* FilterCategories = "CIAttributeFilterCategories";
inline constexpr const char* Class = "CIAttributeClass";
inline constexpr const char* Default = "CIAttributeDefault";
inline constexpr const char* Identity = "CIAttributeIdentity";
inline constexpr const char* DisplayName = "CIAttributeDisplayName";
inline constexpr const char* Description = "CIAttributeDescription";
inline constexpr const char* Min = "CIAttributeMin";
inline constexpr const char* Max = "CIAttributeMax";
inline constexpr const char* SliderMin = "CIAttributeSliderMin";
inline constexpr const char* SliderMax = "CIAttributeSliderMax";
inline constexpr const char* Type = "CIAttributeType";
inline constexpr const char* TypeImage = "CIAttributeTypeImage";
inline constexpr const char* TypeScalar = "CIAttributeTypeScalar";
inline constexpr const char* TypeDistance = "CIAttributeTypeDistance";
inline constexpr const char* TypeAngle = "CIAttributeTypeAngle";
inline constexpr const char* TypePosition = "CIAttributeTypePosition";
inline constexpr const char* TypeOffset = "CIAttributeTypeOffset";
inline constexpr const char* TypeRectangle = "CIAttributeTypeRectangle";
inline constexpr const char* TypeColor = "CIAttributeTypeColor";
inline constexpr const char* TypeBoolean = "CIAttributeTypeBoolean";
inline constexpr const char* TypeTransform = "CIAttributeTypeTransform";
} // namespace attr

/// What setting an input did.
enum class SetResult { Ok, UnknownKey, WrongKind };

/// The one interface for built-in and own filters alike: created by name, inputs set by key,
/// result read from outputImage().
class Filter {
  public:
    virtual ~Filter() = default;

    /// The name the filter was created under.
    const std::string& name() const { return name_; }

    /// Sets an input by key. An absent value (ValueKind::None) clears an image input and
    /// restores the default of any other input.
    virtual SetResult setValue(const std::string& key, const Value& value) = 0;
    /// Reads an input back; nothing for a key the filter does not answer.
    virtual Value value(const std::string& /*key*/) const { return {}; }
    virtual void setDefaults() {}
    virtual Attributes attributes() const { return Attributes::object(); }
    virtual std::vector<std::string> inputKeys() const { return {}; }
    /// The result recipe for the current inputs, or a null image.
    virtual Image outputImage() = 0;

    /// Creates a filter by name: a built-in or a registered one; nullptr for an unknown name.
    static std::shared_ptr<Filter> make(const std::string& name);

    void setName(std::string name) { name_ = std::move(name); }

  private:
    std::string name_;
};

/// The object registered for a name: makes a new filter for a requested name, or nothing.
class FilterConstructor {
  public:
    virtual ~FilterConstructor() = default;
    virtual std::shared_ptr<Filter> filterWithName(const std::string& name) = 0;
};

/// Names registered at run time (the system's own filters). Built-ins are always known.
class FilterRegistry {
  public:
    static void registerFilterName(const std::string& name, std::shared_ptr<FilterConstructor> constructor,
                                   Attributes classAttributes);
    static bool isRegistered(const std::string& name);
    static std::vector<std::string> registeredNames();
    /// The built-in filter names, in no particular order.
    static std::vector<std::string> builtinNames();
};

// ---- Built-in filters, declared as a table of inputs plus one output function -------------

/// One input of a built-in filter.
struct InputSpec {
    std::string key;
    ValueKind kind = ValueKind::Number;
    Value defaultValue;
    std::string displayName;
    std::optional<double> sliderMin, sliderMax, min, max, identity;
    const char* type = nullptr; ///< attr::Type* value, derived from the kind when null
};

/// Input values of a built-in filter, read by its output function.
class Inputs {
  public:
    explicit Inputs(const Dictionary& values) : values_(values) {}
    const Value& get(const std::string& key) const;
    double number(const std::string& key) const;
    bool boolean(const std::string& key) const;
    Image image(const std::string& key) const;
    Vector vector(const std::string& key) const;
    Color color(const std::string& key) const;
    Affine transform(const std::string& key) const;
    std::string string(const std::string& key) const;

  private:
    const Dictionary& values_;
};

struct BuiltinDescriptor {
    std::string name;
    std::string displayName;
    std::vector<std::string> categories;
    std::vector<InputSpec> inputs;
    std::function<Image(const Inputs&)> output;
};

/// Adds a built-in filter to the table (called by each family's registration function).
void defineBuiltin(BuiltinDescriptor descriptor);

/// Image input spec helpers for the tables.
InputSpec imageInput(std::string key = "inputImage", std::string displayName = "Image");
InputSpec numberInput(std::string key, double def, std::optional<double> sliderMin = {},
                      std::optional<double> sliderMax = {}, std::optional<double> min = {},
                      std::optional<double> identity = {}, const char* type = attr::TypeScalar);
/// A vector input (a position unless told otherwise).
InputSpec vectorInput(std::string key, Vector def, std::string displayName,
                      const char* type = attr::TypePosition);

} // namespace ci

#include "Filter.h"

#include "Console.h"
#include "ci/builtin/Builtins.h"

#include <cmath>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace ci {

namespace {

struct Registry {
    std::shared_mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<const BuiltinDescriptor>> builtins;
    std::unordered_map<std::string, std::shared_ptr<FilterConstructor>> registered;
    std::vector<std::string> registeredOrder;
};

Registry& registry() {
    static Registry r;
    return r;
}

void ensureBuiltins() {
    builtin::registerAll();
}

bool kindAccepts(ValueKind want, ValueKind have) {
    if (want == have)
        return true;
    // Numbers and Booleans are interchangeable, as the platform's boxed numbers are.
    return (want == ValueKind::Number && have == ValueKind::Boolean) ||
           (want == ValueKind::Boolean && have == ValueKind::Number);
}

const char* attributeClass(ValueKind k) {
    switch (k) {
    case ValueKind::Image:
        return "CIImage";
    case ValueKind::Vector:
        return "CIVector";
    case ValueKind::Color:
        return "CIColor";
    case ValueKind::Transform:
        return "NSAffineTransform";
    case ValueKind::String:
        return "NSString";
    default:
        return "NSNumber";
    }
}

const char* defaultType(ValueKind k) {
    switch (k) {
    case ValueKind::Image:
        return attr::TypeImage;
    case ValueKind::Color:
        return attr::TypeColor;
    case ValueKind::Transform:
        return attr::TypeTransform;
    case ValueKind::Boolean:
        return attr::TypeBoolean;
    case ValueKind::Vector:
        return attr::TypePosition;
    default:
        return attr::TypeScalar;
    }
}

nlohmann::ordered_json toJson(const Value& v) {
    switch (v.kind()) {
    case ValueKind::Number:
        return *v.toNumber();
    case ValueKind::Boolean:
        return *v.toBool();
    case ValueKind::String:
        return *v.toString();
    case ValueKind::Vector:
        return v.toVector()->components();
    case ValueKind::Color: {
        const Color* c = v.toColor();
        return {c->r, c->g, c->b, c->a};
    }
    case ValueKind::Transform: {
        const Affine* t = v.toTransform();
        return {t->a, t->b, t->c, t->d, t->tx, t->ty};
    }
    default:
        return nullptr;
    }
}

/// A built-in filter: its inputs come from the descriptor's table.
class BuiltinFilter final : public Filter {
  public:
    explicit BuiltinFilter(std::shared_ptr<const BuiltinDescriptor> d) : d_(std::move(d)) {
        setName(d_->name);
        setDefaults();
    }

    SetResult setValue(const std::string& key, const Value& value) override {
        const InputSpec* spec = find(key);
        if (!spec) {
            console(name() + ": unknown input key \"" + key + "\" ignored");
            return SetResult::UnknownKey;
        }
        if (value.isNone()) {
            if (spec->kind == ValueKind::Image)
                values_.erase(key);
            else
                values_[key] = spec->defaultValue;
            return SetResult::Ok;
        }
        if (!kindAccepts(spec->kind, value.kind())) {
            console(name() + ": input \"" + key + "\" takes a " + kindName(spec->kind) + ", not a " +
                    kindName(value.kind()));
            return SetResult::WrongKind;
        }
        values_[key] = value;
        return SetResult::Ok;
    }

    Value value(const std::string& key) const override {
        auto it = values_.find(key);
        return it == values_.end() ? Value() : it->second;
    }

    void setDefaults() override {
        for (const InputSpec& s : d_->inputs)
            if (s.kind != ValueKind::Image && !s.defaultValue.isNone())
                values_[s.key] = s.defaultValue;
    }

    std::vector<std::string> inputKeys() const override {
        std::vector<std::string> keys;
        for (const InputSpec& s : d_->inputs)
            keys.push_back(s.key);
        return keys;
    }

    Attributes attributes() const override {
        Attributes a = Attributes::object();
        a[attr::FilterName] = d_->name;
        a[attr::FilterDisplayName] = d_->displayName;
        a[attr::FilterCategories] = d_->categories;
        for (const InputSpec& s : d_->inputs) {
            Attributes in = Attributes::object();
            in[attr::Class] = attributeClass(s.kind);
            if (!s.defaultValue.isNone())
                in[attr::Default] = toJson(s.defaultValue);
            in[attr::DisplayName] = s.displayName.empty() ? s.key : s.displayName;
            if (s.min)
                in[attr::Min] = *s.min;
            if (s.max)
                in[attr::Max] = *s.max;
            if (s.sliderMin)
                in[attr::SliderMin] = *s.sliderMin;
            if (s.sliderMax)
                in[attr::SliderMax] = *s.sliderMax;
            if (s.identity)
                in[attr::Identity] = *s.identity;
            in[attr::Type] = s.type ? s.type : defaultType(s.kind);
            a[s.key] = in;
        }
        return a;
    }

    Image outputImage() override {
        if (!d_->output)
            return Image();
        return d_->output(Inputs(values_));
    }

  private:
    const InputSpec* find(const std::string& key) const {
        for (const InputSpec& s : d_->inputs)
            if (s.key == key)
                return &s;
        return nullptr;
    }

    std::shared_ptr<const BuiltinDescriptor> d_;
    Dictionary values_;
};

const Value kNoValue;

} // namespace

// ---- Inputs ---------------------------------------------------------------------------------

const Value& Inputs::get(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? kNoValue : it->second;
}

double Inputs::number(const std::string& key) const {
    return get(key).toNumber().value_or(0.0);
}
bool Inputs::boolean(const std::string& key) const {
    return get(key).toBool().value_or(false);
}
Image Inputs::image(const std::string& key) const {
    return get(key).toImage();
}
Vector Inputs::vector(const std::string& key) const {
    const Vector* v = get(key).toVector();
    return v ? *v : Vector();
}
Color Inputs::color(const std::string& key) const {
    const Color* c = get(key).toColor();
    return c ? *c : Color{0, 0, 0, 0};
}
Affine Inputs::transform(const std::string& key) const {
    const Affine* t = get(key).toTransform();
    return t ? *t : Affine();
}
std::string Inputs::string(const std::string& key) const {
    const std::string* s = get(key).toString();
    return s ? *s : std::string();
}

// ---- Registry -------------------------------------------------------------------------------

void defineBuiltin(BuiltinDescriptor descriptor) {
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    const std::string name = descriptor.name;
    r.builtins[name] = std::make_shared<const BuiltinDescriptor>(std::move(descriptor));
}

InputSpec imageInput(std::string key, std::string displayName) {
    InputSpec s;
    s.key = std::move(key);
    s.kind = ValueKind::Image;
    s.displayName = std::move(displayName);
    return s;
}

InputSpec numberInput(std::string key, double def, std::optional<double> sliderMin,
                      std::optional<double> sliderMax, std::optional<double> min,
                      std::optional<double> identity, const char* type) {
    InputSpec s;
    s.key = std::move(key);
    s.kind = ValueKind::Number;
    s.defaultValue = def;
    s.sliderMin = sliderMin;
    s.sliderMax = sliderMax;
    s.min = min;
    s.identity = identity;
    s.type = type;
    return s;
}

InputSpec vectorInput(std::string key, Vector def, std::string displayName, const char* type) {
    InputSpec s;
    s.key = std::move(key);
    s.kind = ValueKind::Vector;
    s.defaultValue = std::move(def);
    s.displayName = std::move(displayName);
    s.type = type;
    return s;
}

std::shared_ptr<Filter> Filter::make(const std::string& name) {
    ensureBuiltins();
    Registry& r = registry();
    std::shared_ptr<FilterConstructor> ctor;
    {
        std::shared_lock lock(r.mutex);
        auto b = r.builtins.find(name);
        if (b != r.builtins.end())
            return std::make_shared<BuiltinFilter>(b->second);
        auto c = r.registered.find(name);
        if (c == r.registered.end())
            return nullptr;
        ctor = c->second;
    }
    // The constructor runs unlocked: it may itself create filters by name.
    auto f = ctor->filterWithName(name);
    if (f && f->name().empty())
        f->setName(name);
    return f;
}

void FilterRegistry::registerFilterName(const std::string& name,
                                        std::shared_ptr<FilterConstructor> constructor, Attributes) {
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    if (!r.registered.count(name))
        r.registeredOrder.push_back(name);
    r.registered[name] = std::move(constructor);
}

bool FilterRegistry::isRegistered(const std::string& name) {
    Registry& r = registry();
    std::shared_lock lock(r.mutex);
    return r.registered.count(name) > 0;
}

std::vector<std::string> FilterRegistry::registeredNames() {
    Registry& r = registry();
    std::shared_lock lock(r.mutex);
    return r.registeredOrder;
}

std::vector<std::string> FilterRegistry::builtinNames() {
    ensureBuiltins();
    Registry& r = registry();
    std::shared_lock lock(r.mutex);
    std::vector<std::string> names;
    for (const auto& [n, d] : r.builtins)
        names.push_back(n);
    return names;
}

// ---- Applying a filter by name ----------------------------------------------------------------

Image Image::applyingFilter(const std::string& name, const Dictionary& inputs) const {
    auto filter = Filter::make(name);
    if (!filter) {
        console("No filter named \"" + name + "\"");
        return Image();
    }
    if (node_ && filter->setValue("inputImage", *this) == SetResult::WrongKind)
        return Image();
    for (const auto& [key, value] : inputs)
        if (filter->setValue(key, value) == SetResult::WrongKind)
            return Image();
    return filter->outputImage();
}

} // namespace ci

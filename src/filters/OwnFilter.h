#pragma once

// What every own filter shares: inputs bound to plain fields by key, the "Invalid key: " line
// for keys a filter does not have, the attribute dictionary pieces and named-filter chains.

#include "ci/core/Filter.h"

#include <string>
#include <vector>

namespace filters {

/// Base of the system's own filters. A subclass binds each of its inputs to a field in its
/// constructor; setting a key it has not bound writes "Invalid key: " and the key and changes
/// nothing.
class OwnFilter : public ci::Filter {
  public:
    OwnFilter(const OwnFilter&) = delete;
    OwnFilter& operator=(const OwnFilter&) = delete;

    /// Image inputs take an image or are cleared by anything else. Numbers take numbers (an
    /// integer as well); vectors take vectors. An absent value restores the start value of a
    /// number or vector; a value of another kind, or a number that is not finite, is ignored.
    ci::SetResult setValue(const std::string& key, const ci::Value& value) override;
    std::vector<std::string> inputKeys() const override;

  protected:
    OwnFilter() = default;

    void bindImage(std::string key, ci::Image& field);
    void bindNumber(std::string key, double& field, double start);
    void bindVector(std::string key, ci::Vector& field, ci::Vector start);
    /// Keys that are accepted and ignored without a line.
    void bindIgnored(std::string key);

    /// Every number and vector back to its start value; images cleared when asked.
    void resetToStart(bool clearImages);

  private:
    enum class Kind { Image, Number, Vector, Ignored };
    struct Binding {
        std::string key;
        Kind kind;
        void* field;
        double startNumber = 0;
        ci::Vector startVector;
    };
    std::vector<Binding> bindings_;
};

/// Writes the line for a key the filter does not have.
void reportInvalidKey(const std::string& key);

// ---- Attribute dictionary pieces --------------------------------------------------------------

/// The description of an image input.
ci::Attributes imageAttribute(const std::string& displayName = "Image");
/// The description of a number input. Pass integers or floating-point numbers exactly as the
/// filter advertises them; the dictionary keeps the difference.
ci::Attributes numberAttribute(const ci::Attributes& def, const std::string& displayName,
                               const ci::Attributes& min, const ci::Attributes& sliderMin,
                               const ci::Attributes& sliderMax);
/// The attributes of a filter whose only input is "inputImage".
ci::Attributes imageOnlyAttributes(const std::string& displayName);

// ---- Named-filter chains ----------------------------------------------------------------------

struct ChainStep {
    std::string filter;
    ci::Dictionary inputs;
};

/// Applies the steps in order, each by name; a step without a result ends the chain with none.
ci::Image applyChain(ci::Image image, const std::vector<ChainStep>& steps);

} // namespace filters

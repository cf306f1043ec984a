// Any text opened as a preset or a project is read or refused with a reason; what is read
// writes back and reads again the same.

#include "model/Project.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (auto preset = model::decodePreset(text); preset.ok()) {
        auto written = model::encodePreset(*preset);
        if (written.ok()) {
            auto again = model::decodePreset(*written);
            if (!again.ok() || again->size() != preset->size())
                std::abort();
            auto rewritten = model::encodePreset(*again);
            if (!rewritten.ok() || *rewritten != *written)
                std::abort();
        }
    } else if (preset.error().empty()) {
        std::abort();
    }
    if (auto project = model::decodeProject(text); project.ok()) {
        auto written = model::encodeProject(**project);
        if (written.ok()) {
            auto again = model::decodeProject(*written);
            if (!again.ok() || (*again)->images() != (*project)->images())
                std::abort();
        }
    } else if (project.error().empty()) {
        std::abort();
    }
    return 0;
}

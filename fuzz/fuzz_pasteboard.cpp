// Any bytes dropped as a workflow step give a step or nothing; a step goes back on the
// pasteboard and comes off it the same.

#include "model/Filter.h"
#include "platform/Pasteboard.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    auto object = platform::propertyListObject(bytes);
    if (!object)
        return 0;
    const QByteArray back = platform::propertyListData(*object);
    auto again = platform::propertyListObject(back);
    if (!again || *again != *object)
        std::abort();
    auto step = model::Filter::initWithPasteboardPropertyList(bytes, platform::filterPasteboardType());
    if (!step)
        std::abort(); // unreadable data still gives an empty step
    if (auto encoded = step->pasteboardPropertyListForType(platform::filterPasteboardType())) {
        auto copy = model::Filter::initWithPasteboardPropertyList(*encoded, platform::filterPasteboardType());
        if (!copy || copy->name() != step->name() || copy->params().size() != step->params().size())
            std::abort();
    }
    return 0;
}

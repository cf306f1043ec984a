#include "filters/actions/Actions.h"

#include "filters/actions/FacePrivacyActions.h"
#include "filters/actions/GeometryActions.h"
#include "filters/actions/WatermarkActions.h"

#include <functional>
#include <unordered_map>

using namespace filters::actions;

std::shared_ptr<ci::Filter> makeOwnAction(const std::string& registeredName) {
    using Make = std::function<std::shared_ptr<ci::Filter>()>;
    static const std::unordered_map<std::string, Make> table = {
        {"IMCropAction", [] { return std::make_shared<CropAction>(); }},
        {"IMFlipHorizontallyAction", [] { return std::make_shared<FlipHorizontallyAction>(); }},
        {"IMFlipVerticallyAction", [] { return std::make_shared<FlipVerticallyAction>(); }},
        {"IMResizeAction", [] { return std::make_shared<ResizeAction>(); }},
        {"IMRotateAction", [] { return std::make_shared<RotateAction>(); }},
        {"IMScaleAction", [] { return std::make_shared<ScaleAction>(); }},
        {"IMWatermarkImageAction", [] { return std::make_shared<WatermarkImageAction>(); }},
        {"IMWatermarkImageFillAction", [] { return std::make_shared<WatermarkImageFillAction>(); }},
        {"IMWatermarkTextAction", [] { return std::make_shared<WatermarkTextAction>(); }},
        {"IMWatermarkTextFillAction", [] { return std::make_shared<WatermarkTextFillAction>(); }},
        {"IMFacePixellate", [] { return std::make_shared<FacePixellateAction>(); }},
        {"IMFaceBlur", [] { return std::make_shared<FaceBlurAction>(); }},
    };
    auto it = table.find(registeredName);
    if (it == table.end())
        return nullptr;
    std::shared_ptr<ci::Filter> action = it->second();
    action->setName(registeredName);
    return action;
}

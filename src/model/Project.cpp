#include "Project.h"

namespace model {

Json Project::encode() const {
    Json j = Json::object();
    j["images"] = Json(images_);
    Json filters = Json::array();
    for (const auto& f : filters_)
        filters.push_back(f->encode());
    j["filters"] = std::move(filters);
    if (path_)
        j["path"] = encodeUrl(*path_);
    return j;
}

namespace {

Filters decodeFilters(const Json& list, const std::string& path) {
    requireArray(list, path);
    Filters filters;
    filters.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i)
        filters.push_back(Filter::decode(
            KeyedContainer(list[i], path.empty() ? std::to_string(i) : path + "/" + std::to_string(i))));
    return filters;
}

} // namespace

std::shared_ptr<Project> Project::decode(const KeyedContainer& c) {
    const Json& list = c.decodeArray("images");
    std::vector<std::string> images;
    images.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        if (!list[i].is_string())
            throw CodingError(list[i].is_null() ? CodingError::Kind::ValueNotFound
                                                : CodingError::Kind::TypeMismatch,
                              "Expected to decode String but found something else instead at \"" +
                                  c.pathOf("images/" + std::to_string(i)) + "\".");
        images.push_back(list[i].get<std::string>());
    }
    Filters filters = decodeFilters(c.decodeArray("filters"), c.pathOf("filters"));
    std::optional<QUrl> path;
    if (!c.isAbsent("path"))
        path = c.decodeUrl("path");
    return std::make_shared<Project>(std::move(images), std::move(filters), std::move(path));
}

ci::Result<std::string> encodePreset(const Filters& filters) {
    Json list = Json::array();
    for (const auto& f : filters)
        list.push_back(f->encode());
    return jsonText(list);
}

ci::Result<Filters> decodePreset(const std::string& text) {
    try {
        return decodeFilters(parseJsonText(text), "");
    } catch (const std::exception& e) { // CodingError, or running out of memory
        return ci::Result<Filters>::failure(e.what());
    }
}

ci::Result<std::string> encodeProject(const Project& project) {
    return jsonText(project.encode());
}

ci::Result<std::shared_ptr<Project>> decodeProject(const std::string& text) {
    try {
        return Project::decode(KeyedContainer(parseJsonText(text), ""));
    } catch (const std::exception& e) { // CodingError, or running out of memory
        return ci::Result<std::shared_ptr<Project>>::failure(e.what());
    }
}

} // namespace model

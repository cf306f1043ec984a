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

std::string indexPath(const std::string& member, size_t index) {
    return member.empty() ? std::to_string(index) : member + "/" + std::to_string(index);
}

// A preset: its steps, each read as its text goes by.
class PresetReader : public platform::JsonPartHandler {
  public:
    void top(Json::value_t kind) override { requireArray(Json(kind), ""); }
    bool wants(const std::string&) override { return false; }
    void list(const std::string&) override {}
    void part(const std::string&, std::optional<size_t> index, Json&& value) override {
        steps.push_back(Filter::decode(KeyedContainer(value, indexPath("", *index))));
    }

    Filters steps;
};

// A project: the image list and the workflow are read as the text goes by, each path and step
// alone; other members are only checked.
class ProjectReader : public platform::JsonPartHandler {
  public:
    void top(Json::value_t kind) override { requireObject(Json(kind), ""); }
    bool wants(const std::string& member) override {
        return member == "images" || member == "filters" || member == "path";
    }
    void list(const std::string& member) override {
        // A member met again replaces the one before.
        if (member == "images")
            images.emplace();
        else if (member == "filters")
            filters.emplace();
        else
            requireString(Json::array(), member);
    }
    void part(const std::string& member, std::optional<size_t> index, Json&& value) override {
        if (member == "path") {
            path.reset();
            if (!value.is_null()) {
                const Json holder = {{"path", std::move(value)}};
                path = KeyedContainer(holder, "").decodeUrl("path");
            }
        } else if (!index) {
            // "images" or "filters" not holding an array
            requireArray(value, member);
        } else if (member == "images") {
            requireString(value, indexPath(member, *index));
            images->push_back(std::move(value.get_ref<std::string&>()));
        } else {
            filters->push_back(Filter::decode(KeyedContainer(value, indexPath(member, *index))));
        }
    }
    std::shared_ptr<Project> project() {
        if (!images)
            throw keyNotFound("images", "");
        if (!filters)
            throw keyNotFound("filters", "");
        return std::make_shared<Project>(std::move(*images), std::move(*filters), std::move(path));
    }

    std::optional<std::vector<std::string>> images;
    std::optional<Filters> filters;
    std::optional<QUrl> path;
};

} // namespace

ci::Result<std::string> encodePreset(const Filters& filters) {
    Json list = Json::array();
    for (const auto& f : filters)
        list.push_back(f->encode());
    return jsonText(list);
}

ci::Result<Filters> decodePreset(const std::string& text) {
    try {
        PresetReader reader;
        readJsonText(text, reader);
        return std::move(reader.steps);
    } catch (const std::exception& e) { // CodingError, or running out of memory
        return ci::Result<Filters>::failure(e.what());
    }
}

ci::Result<std::string> encodeProject(const Project& project) {
    return jsonText(project.encode());
}

ci::Result<std::shared_ptr<Project>> decodeProject(const std::string& text) {
    try {
        ProjectReader reader;
        readJsonText(text, reader);
        return reader.project();
    } catch (const std::exception& e) { // CodingError, or running out of memory
        return ci::Result<std::shared_ptr<Project>>::failure(e.what());
    }
}

} // namespace model

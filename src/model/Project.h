#pragma once

// The two workflow documents: a preset (a JSON array of steps) and a project (the image list,
// the workflow and, optionally, the document's own location). Both are the keyed encoding as
// JSON text; reading is strict (every key required except the project's "path").

#include "model/Filter.h"

#include "ci/core/Context.h"

#include <QUrl>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace model {

class Project {
  public:
    Project(std::vector<std::string> images, Filters filters, std::optional<QUrl> path = std::nullopt)
        : images_(std::move(images)), filters_(std::move(filters)), path_(std::move(path)) {}

    /// File paths of the queued images, in queue order.
    const std::vector<std::string>& images() const { return images_; }
    void setImages(std::vector<std::string> v) { images_ = std::move(v); }
    /// The workflow.
    const Filters& filters() const { return filters_; }
    void setFilters(Filters v) { filters_ = std::move(v); }
    /// Where the document lives; written only when present, never used on opening.
    const std::optional<QUrl>& path() const { return path_; }
    void setPath(std::optional<QUrl> v) { path_ = std::move(v); }

    Json encode() const;

  private:
    std::vector<std::string> images_;
    Filters filters_;
    std::optional<QUrl> path_;
};

/// The JSON text of a preset. Fails (with the error's description) on a number that JSON cannot
/// hold.
ci::Result<std::string> encodePreset(const Filters& filters);
/// The steps of a preset's text; new objects throughout. The text is read step by step, so that
/// what reading costs is what the steps cost.
ci::Result<Filters> decodePreset(const std::string& text);

ci::Result<std::string> encodeProject(const Project& project);
/// The project of a document's text, read path by path and step by step.
ci::Result<std::shared_ptr<Project>> decodeProject(const std::string& text);

} // namespace model

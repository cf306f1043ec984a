// Presets (one file per workflow in the support folder) and project documents (the workflow with
// the image list).

#include "app/AppDelegate.h"

#include "ci/core/Console.h"
#include "model/Project.h"
#include "platform/NotificationCenter.h"

#include "platform/FilePath.h"
#include "platform/JsonReader.h"

#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace app {

namespace {

// Far beyond any document (what the application writes stays within it); a larger file is
// refused before it is read.
constexpr off_t kMaxDocumentBytes = off_t(platform::kMaxJsonDocumentBytes);

std::string fileName(const QString& path) {
    return platform::pathBytes(path.mid(path.lastIndexOf('/') + 1));
}

std::optional<std::string> readFileText(const QString& path, std::string& error) {
    auto refuse = [&](const std::string& why) -> std::optional<std::string> {
        error = "The file \"" + fileName(path) + "\" couldn't be opened: " + why;
        return std::nullopt;
    };
    if (!platform::isValidPath(path))
        return refuse(platform::kNotAFileName);
    // A document is a regular file of a sensible size: a pipe would wait for a writer, a device
    // might never end.
    const int fd = ::open(platform::pathBytes(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return refuse(std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxDocumentBytes) {
        ::close(fd);
        return refuse(S_ISREG(st.st_mode) ? "it is too large to be a document (a document has at most " +
                                                platform::describeBytes(size_t(kMaxDocumentBytes)) + ")"
                                          : "it is not a regular file");
    }
    std::string text(size_t(st.st_size), '\0');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int e = n < 0 ? errno : 0;
            ::close(fd);
            if (e)
                return refuse(std::strerror(e));
            break; // it got shorter meanwhile
        }
        done += size_t(n);
    }
    ::close(fd);
    text.resize(done);
    return text;
}

/// Replaces the file at `path` as a whole or not at all. A document reached through a link is
/// written where the link points.
bool writeFileAtomically(const QString& path, const QByteArray& data, std::string& error) {
    QString target = path;
    if (char* resolved = ::realpath(platform::pathBytes(path).c_str(), nullptr)) {
        target = platform::decodePath(resolved);
        std::free(resolved);
    }
    if (std::string why = platform::writeFileAtomically(target, data); !why.empty()) {
        error = "The file \"" + fileName(path) + "\" couldn't be saved: " + why;
        return false;
    }
    return true;
}

bool isValidPresetName(const QString& name) {
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains(QChar(0));
}

} // namespace

void AppDelegate::updatePresetsMenu() {
    QDir dir(mainPresetsDir());
    if (!QFileInfo(mainPresetsDir()).isDir() || !dir.isReadable()) {
        ci::console("updatePresetsMenu: The folder \"" +
                    QFileInfo(mainPresetsDir()).fileName().toStdString() + "\" doesn't exist.");
        return;
    }
    const auto names =
        dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    MenuItems menu;
    for (const auto& name : names) {
        MenuItem item;
        item.title = name;
        item.checked = !presetCurrent().isEmpty() && name == presetCurrent();
        menu.push_back(std::move(item));
    }
    presetsMenu_ = std::move(menu);
    Q_EMIT presetsMenuChanged();
}

void AppDelegate::alertFailure(const QString& message, const std::string& reason) {
    if (!services_.dialogs)
        return;
    AlertRequest alert;
    alert.message = message;
    alert.informativeText = QString::fromStdString(reason);
    if (!alert.informativeText.endsWith('.'))
        alert.informativeText += '.';
    alert.buttons = {"OK"};
    services_.dialogs->runAlert(alert);
}

void AppDelegate::loadPreset(const QString& title) {
    // A preset that cannot be read is not chosen: the current one stays, so that the next save
    // does not write the workflow into the file that failed.
    std::string error;
    if (!isValidPresetName(title)) {
        error = "invalid preset name";
    } else if (auto text = readFileText(QDir(mainPresetsDir()).filePath(title), error)) {
        auto filters = model::decodePreset(*text);
        if (filters) {
            setPresetCurrent(title);
            setCurrentFilters(*filters);
            postRegeneration();
        } else {
            error = filters.error();
        }
    }
    if (!error.empty()) {
        ci::console("loadPreset: ⛔️ " + error);
        alertFailure(QString("The preset \"%1\" could not be read.").arg(title), error);
    }
    // Also after a failure: the menu's check mark goes back to the current preset.
    updatePresetsMenu();
}

bool AppDelegate::writePreset(const QString& name) {
    std::string error;
    if (!isValidPresetName(name)) {
        error = "invalid preset name";
    } else {
        QDir().mkpath(mainPresetsDir());
        auto text = model::encodePreset(CurrentFilters_);
        if (!text)
            error = text.error();
        else
            writeFileAtomically(QDir(mainPresetsDir()).filePath(name), QByteArray::fromStdString(*text),
                                error);
    }
    if (error.empty())
        return true;
    ci::console("savePreset: ⛔️ " + error);
    alertFailure(QString("The preset \"%1\" could not be saved.").arg(name), error);
    return false;
}

void AppDelegate::savePreset() {
    writePreset(presetCurrent());
    updatePresetsMenu();
}

void AppDelegate::presetSaveCurrent() {
    if (!presetCurrent().isEmpty())
        savePreset();
    else
        askPresetName();
}

void AppDelegate::presetSaveCurrentAs() {
    askPresetName();
}

void AppDelegate::askPresetName() {
    if (!services_.dialogs)
        return;
    AlertRequest request;
    request.message = "Save Preset";
    request.informativeText = "Choose a name for this preset";
    request.buttons = {"OK", "Cancel"};
    request.hasTextField = true;
    const auto response = services_.dialogs->runAlert(request);
    if (response.button != 0)
        return;
    if (!isValidPresetName(response.text)) {
        // The name becomes a file name in the presets folder; it must name a file there.
        AlertRequest refusal;
        refusal.message = "Invalid preset name";
        refusal.informativeText = "A preset name cannot be empty, \".\" or \"..\", or contain \"/\".";
        refusal.buttons = {"OK"};
        services_.dialogs->runAlert(refusal);
        return;
    }
    // The name becomes the current preset only once the preset is written under it.
    if (writePreset(response.text))
        setPresetCurrent(response.text);
    updatePresetsMenu();
}

void AppDelegate::newDocument() {
    confirmAction("Are you sure you want to proceed?",
                  "All of the images and actions you have added will be removed!", "new-project", [this] {
                      setCurrentImages({});
                      setHasFiles(false);
                      setCurrentFilters({});
                      // A new project must not be saved over the previous one's file.
                      setCurrentProjectUrl(QUrl());
                      setPresetCurrent("");
                      updatePresetsMenu();
                  });
}

void AppDelegate::openDocument() {
    confirmAction("Are you sure you want to proceed?",
                  "All of your changes to the current project will not be saved!", "open-project",
                  [this] { chooseProjectToOpen(true); });
}

void AppDelegate::chooseProjectToOpen(bool consent) {
    if (!consent || !services_.dialogs)
        return;
    OpenPanelRequest request;
    request.allowsMultipleSelection = true;
    request.canChooseFiles = true;
    request.canChooseDirectories = false;
    request.allowedExtensions = {"gwProject"};
    auto paths = services_.dialogs->runOpenPanel(request);
    if (!paths)
        return;
    QList<QUrl> urls;
    for (const auto& p : *paths)
        urls.push_back(QUrl::fromLocalFile(p));
    loadFromDisk(urls);
}

void AppDelegate::loadFromDisk(const QList<QUrl>& urls) {
    if (urls.isEmpty())
        return;
    const QUrl url = urls.front();
    std::shared_ptr<model::Project> project;
    {
        std::string error;
        auto text = readFileText(platform::localPath(url), error);
        auto decoded =
            text ? model::decodeProject(*text) : ci::Result<std::shared_ptr<model::Project>>::failure(error);
        if (!decoded) {
            ci::console("loadFromDisk: ⛔️ " + decoded.error());
            // Nothing changes, and the user is told why.
            alertFailure(QString("The project \"%1\" could not be opened.")
                             .arg(QFileInfo(url.toLocalFile()).fileName()),
                         decoded.error());
            return;
        }
        project = *decoded;
    }
    QList<QUrl> images;
    for (const auto& path : project->images())
        images.push_back(QUrl::fromLocalFile(QString::fromStdString(path)));
    setCurrentFilters(project->filters());
    setCurrentProjectUrl(url);
    // The document's images replace the queue, as its workflow replaces the workflow: a save then
    // writes back what the document holds. The queue is emptied when this import starts, so that
    // nothing an earlier import still adds comes in among them.
    enqueueRun(RunKind::Import, "Importing images", [this, images] { startImport(images, true); });
}

void AppDelegate::saveDocument() {
    saveProject();
}

void AppDelegate::saveDocumentAs() {
    chooseProjectSaveUrl();
}

void AppDelegate::saveProject() {
    if (CurrentProjectUrl_.isEmpty())
        chooseProjectSaveUrl();
    else
        beginSavingProject(CurrentProjectUrl_);
}

void AppDelegate::chooseProjectSaveUrl() {
    if (!services_.dialogs)
        return;
    SavePanelRequest request;
    request.allowedExtensions = {"gwProject"};
    auto path = services_.dialogs->runSavePanel(request);
    if (!path)
        return;
    const QUrl previous = CurrentProjectUrl_;
    setCurrentProjectUrl(QUrl::fromLocalFile(*path));
    beginSavingProject(previous);
}

void AppDelegate::beginSavingProject(const QUrl& previousUrl) {
    const QUrl url = CurrentProjectUrl_;
    enqueueRun(RunKind::Save, "Saving project", [this, url, previousUrl] {
        // The document is taken whole on the main queue when the save runs (after an import that
        // was running or waiting, with what it added); the worker only writes it.
        std::vector<std::string> images;
        for (const auto& image : CurrentImages_)
            images.push_back(image->path().toStdString());
        const model::Project project(std::move(images), CurrentFilters_,
                                     url.isEmpty() ? std::nullopt : std::optional<QUrl>(url));
        auto text = model::encodeProject(project);
        QByteArray data;
        std::string encodingError;
        if (text) {
            data = QByteArray::fromStdString(*text);
        } else {
            encodingError = text.error();
            ci::console("saveToDisk: ⛔️ " + encodingError);
        }
        const QString path = text ? url.toLocalFile() : QString();

        SheetTexts sheet;
        sheet.action = "Saving project";
        sheet.message = "Processing...";
        sheet.max = 20;
        sheet.showCounter = false;
        beginSheetRun(RunKind::Save, sheet);
        // A save asked for just before quitting is still written (whole: the write is atomic).
        work_->startWorker(
            [data, path, url, previousUrl, encodingError](Work& work) {
                std::string error = encodingError;
                if (error.empty())
                    saveToDisk(data, path, error);
                work.toOwner(
                    [error, url, previousUrl](AppDelegate& d) { d.didSaveProject(error, url, previousUrl); });
            },
            WorkContext::WhenClosed::Finish);
    });
}

bool AppDelegate::saveToDisk(const QByteArray& data, const QString& path, std::string& error) {
    if (path.isEmpty()) {
        error = "The project has no file.";
        return false;
    }
    if (writeFileAtomically(path, data, error))
        return true;
    ci::console("saveToDisk: ⛔️ " + error);
    return false;
}

void AppDelegate::didSaveProject(const std::string& error, const QUrl& savedUrl, const QUrl& previousUrl) {
    const bool ok = error.empty();
    // A document that was not written is not the project's document: the title goes back to
    // the one it had.
    if (!ok && CurrentProjectUrl_ == savedUrl && previousUrl != savedUrl)
        setCurrentProjectUrl(previousUrl);
    setSheetStepper(0, 20);
    stepSheetProgress([error](AppDelegate& d) {
        if (error.empty())
            d.runFinished("Project saved");
        else // with the reason, where the sheet lists what failed
            d.runFinishedWithFailures(1, 1, "The project could not be saved",
                                      {QString::fromStdString(error)});
    });
}

} // namespace app

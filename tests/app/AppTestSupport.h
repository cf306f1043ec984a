#pragma once

// Scripted services for driving the real controller headless: queues on a virtual clock (every
// block runs on the test's thread, in the order the real queues would give), dialogs that answer
// from a script and record what they were asked, and a fresh data folder per test.

#include "app/AppDelegate.h"
#include "app/services/Dialogs.h"
#include "app/services/Queues.h"
#include "app/services/UserDefaults.h"

#include "support/TestSupport.h"

#include "ci/core/Filter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace apptest {

/// Two small filters of the tests' own, registered by name like the system's own filters:
/// "GWTestScale" scales by "inputScale" (default 0.5); "GWTestTile" extends the image without
/// bound (so the chain's crop rule for tile names applies).
class TestFilter : public ci::Filter {
  public:
    explicit TestFilter(bool tile) : tile_(tile) {}
    ci::SetResult setValue(const std::string& key, const ci::Value& value) override {
        if (key == "inputImage") {
            image_ = value.toImage();
            return ci::SetResult::Ok;
        }
        if (key == "inputScale" && value.toNumber()) {
            scale_ = *value.toNumber();
            return ci::SetResult::Ok;
        }
        return ci::SetResult::UnknownKey;
    }
    ci::Image outputImage() override {
        if (image_.isNull())
            return {};
        return tile_ ? image_.clampedToExtent() : image_.transformed(ci::Affine::scale(scale_, scale_));
    }

  private:
    bool tile_;
    double scale_ = 0.5;
    ci::Image image_;
};

inline void registerTestFilters() {
    struct Constructor : ci::FilterConstructor {
        std::shared_ptr<ci::Filter> filterWithName(const std::string& name) override {
            if (name == "GWTestScale" || name == "GWTestTile")
                return std::make_shared<TestFilter>(name == "GWTestTile");
            return nullptr;
        }
    };
    static bool done = [] {
        ci::FilterRegistry::registerFilterName("GWTestScale", std::make_shared<Constructor>(),
                                               ci::Attributes::object());
        ci::FilterRegistry::registerFilterName("GWTestTile", std::make_shared<Constructor>(),
                                               ci::Attributes::object());
        return true;
    }();
    (void)done;
}

class FakeQueues : public app::Queues {
  public:
    void mainAsync(Block block) override {
        std::lock_guard lock(mutex_);
        main_.push_back(std::move(block));
    }
    void mainAsyncAfter(double seconds, Block block) override {
        std::lock_guard lock(mutex_);
        timed_.emplace(now_ + seconds, Timed{true, std::move(block)});
    }
    void globalAsync(Block block) override {
        std::lock_guard lock(mutex_);
        global_.push_back(std::move(block));
        ++globalBlocks;
    }
    void globalAsyncAfter(double seconds, Block block) override {
        std::lock_guard lock(mutex_);
        timed_.emplace(now_ + seconds, Timed{false, std::move(block)});
    }

    /// Runs queued blocks (main queue first, then workers) until none is left at this time.
    void drain() {
        for (;;) {
            Block next;
            {
                std::lock_guard lock(mutex_);
                if (!main_.empty()) {
                    next = std::move(main_.front());
                    main_.pop_front();
                } else if (!global_.empty() && !holdGlobal) {
                    next = std::move(global_.front());
                    global_.pop_front();
                } else {
                    return;
                }
            }
            next();
        }
    }

    /// Runs the worker blocks queued now (and those they queue), leaving the main queue's blocks
    /// waiting: as if the workers ran ahead of a busy main queue.
    void drainWorkers() {
        for (;;) {
            Block next;
            {
                std::lock_guard lock(mutex_);
                if (global_.empty())
                    return;
                next = std::move(global_.front());
                global_.pop_front();
            }
            next();
        }
    }

    /// Moves the clock forward, running every block that falls due on the way, in time order.
    void advance(double seconds) {
        const double target = now_ + seconds + 1e-9;
        drain();
        for (;;) {
            Timed due;
            {
                std::lock_guard lock(mutex_);
                auto it = timed_.begin();
                if (it == timed_.end() || it->first > target)
                    break;
                now_ = it->first;
                due = std::move(it->second);
                timed_.erase(it);
                (due.main ? main_ : global_).push_back(std::move(due.block));
            }
            drain();
        }
        now_ = std::max(now_, target - 1e-9);
        drain();
    }

    /// While set, worker blocks wait (to script what happens while a render or run is busy).
    bool holdGlobal = false;
    double now() const { return now_; }
    size_t pendingTimed() const { return timed_.size(); }
    int globalBlocks = 0;

  private:
    struct Timed {
        bool main = true;
        Block block;
    };
    std::mutex mutex_;
    double now_ = 0;
    std::deque<Block> main_;
    std::deque<Block> global_;
    std::multimap<double, Timed> timed_;
};

/// A library of plain entries that reports its loading the way the catalogue builders do: first
/// its loading message (when there is one), then one overlay tick per entry, all through the
/// main queue.
inline app::Library fakeLibrary(app::WorkContext& work,
                                const std::shared_ptr<model::LoadingProgressTarget>& target,
                                const QString& message, std::vector<std::pair<std::string, int>> categories) {
    if (!message.isEmpty())
        work.mainAsync([target, message] { target->setProgressOverlayMessage(message); });
    app::Library library;
    for (const auto& [name, count] : categories) {
        model::Filters entries;
        for (int i = 0; i < count; ++i) {
            auto entry =
                model::Filter::make(name + " " + std::to_string(i), "CIColorInvert", "Tip of " + name);
            entry->setParent(name + " → " + entry->name());
            work.mainAsync([target, parent = entry->qParent()] {
                target->setProgressOverlaySubMessage(parent);
                target->setProgressOverlayCurrent(target->ProgressOverlayCurrent() + 1);
            });
            entries.push_back(entry);
        }
        auto category = model::FilterCategory::make(name, {});
        category->setFilters(entries);
        library.push_back(category);
    }
    return library;
}

class FakeDialogs : public app::Dialogs {
  public:
    app::AlertResponse runAlert(const app::AlertRequest& request) override {
        alerts.push_back(request);
        if (realAlert)
            return realAlert(request);
        if (alertAnswers.empty())
            return {1, false, {}};
        auto answer = alertAnswers.front();
        alertAnswers.pop_front();
        return answer;
    }
    std::optional<QStringList> runOpenPanel(const app::OpenPanelRequest& request) override {
        openPanels.push_back(request);
        if (openAnswers.empty())
            return std::nullopt;
        const bool cancelled = !openAnswers.front().has_value();
        const QStringList paths = openAnswers.front().value_or(QStringList{});
        openAnswers.pop_front();
        if (cancelled)
            return std::nullopt;
        return paths;
    }
    std::optional<QString> runSavePanel(const app::SavePanelRequest& request) override {
        savePanels.push_back(request);
        if (saveAnswers.empty())
            return std::nullopt;
        const bool cancelled = !saveAnswers.front().has_value();
        const QString path = saveAnswers.front().value_or(QString());
        saveAnswers.pop_front();
        if (cancelled)
            return std::nullopt;
        return path;
    }

    /// When set, alerts are shown by it (a real modal alert) instead of being answered from the list.
    std::function<app::AlertResponse(const app::AlertRequest&)> realAlert;
    std::deque<app::AlertResponse> alertAnswers;
    std::deque<std::optional<QStringList>> openAnswers;
    std::deque<std::optional<QString>> saveAnswers;
    std::vector<app::AlertRequest> alerts;
    std::vector<app::OpenPanelRequest> openPanels;
    std::vector<app::SavePanelRequest> savePanels;
};

/// A controller on fake services with its own data folder and the real metadata tool.
struct Harness {
    QTemporaryDir dir;
    std::shared_ptr<FakeQueues> queues = std::make_shared<FakeQueues>();
    std::shared_ptr<FakeDialogs> dialogs = std::make_shared<FakeDialogs>();
    std::shared_ptr<app::MemoryDefaults> defaults = std::make_shared<app::MemoryDefaults>();
    std::unique_ptr<app::AppDelegate> delegate;

    explicit Harness(app::LaunchHooks hooks = {}, QString tool = QStringLiteral("/usr/bin/exiftool")) {
        app::AppServices services;
        services.queues = queues;
        services.dialogs = dialogs;
        services.defaults = defaults;
        services.dataFolder = dir.filePath("data");
        services.metadataTool = tool;
        services.hooks = std::move(hooks);
        delegate = std::make_unique<app::AppDelegate>(std::move(services));
    }
    ~Harness() {
        queues->drain();
        delegate.reset();
    }
    app::AppDelegate& d() { return *delegate; }

    /// A folder inside the test's temporary folder.
    QString folder(const QString& name) {
        QDir().mkpath(dir.filePath(name));
        return dir.filePath(name);
    }
    /// A copy of a test image under a chosen name.
    QString copyData(const QString& dataName, const QString& target) {
        QFile::copy(QString::fromStdString(gwtest::dataPath(dataName.toStdString())), target);
        return target;
    }
    /// Writes the data file over `target`, in place: the same file, with new content.
    void rewriteData(const QString& dataName, const QString& target) {
        QFile from(QString::fromStdString(gwtest::dataPath(dataName.toStdString())));
        QFile to(target);
        if (from.open(QIODevice::ReadOnly) && to.open(QIODevice::ReadWrite | QIODevice::Truncate))
            to.write(from.readAll());
    }
    static QUrl url(const QString& path) { return QUrl::fromLocalFile(path); }
    static QString data(const char* name) { return QString::fromStdString(gwtest::dataPath(name)); }
};

/// A harness with the test filters and an export destination, for runs of the export.
struct ExportHarness : Harness {
    QString out;
    ExportHarness() {
        registerTestFilters();
        out = folder("out");
        d().setExportDialogDestination(out);
    }
    void queue(const QStringList& paths) {
        QList<QUrl> urls;
        for (const auto& p : paths)
            urls << url(p);
        d().addImages(urls);
        queues->drain();
        queues->advance(2.1);
    }
    void run() {
        d().showExportDialog();
        d().exportDialogStartProcessing();
        queues->drain();
    }
    QStringList files() const { return QDir(out).entryList(QDir::Files, QDir::Name); }
};

} // namespace apptest

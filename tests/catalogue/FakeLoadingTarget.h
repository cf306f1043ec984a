#pragma once

// Records what a library builder shows on the start-up overlay.

#include "model/Filter.h"

#include <string>
#include <vector>

class FakeLoadingTarget : public model::LoadingProgressTarget {
  public:
    void setProgressOverlayMessage(const QString& text) override { messages.push_back(text.toStdString()); }
    void setProgressOverlaySubMessage(const QString& text) override {
        subMessages.push_back(text.toStdString());
    }
    qint64 ProgressOverlayCurrent() const override { return current; }
    void setProgressOverlayCurrent(qint64 v) override { current = v; }

    std::vector<std::string> messages, subMessages;
    qint64 current = 0;
};

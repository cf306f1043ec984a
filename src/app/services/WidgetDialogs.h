#pragma once

// The dialogs on Qt widgets, for the window layer (include it only from code that links
// Qt Widgets; the controller itself never does).

#include "app/services/Dialogs.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace app {

class WidgetDialogs : public Dialogs {
  public:
    explicit WidgetDialogs(QWidget* parent = nullptr) : parent_(parent) {}

    AlertResponse runAlert(const AlertRequest& request) override {
        QMessageBox box(parent_);
        box.setWindowModality(Qt::ApplicationModal);
        box.setText(request.message);
        box.setInformativeText(request.informativeText);
        std::vector<QAbstractButton*> buttons;
        for (qsizetype i = 0; i < request.buttons.size(); ++i)
            buttons.push_back(box.addButton(request.buttons[i],
                                            i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole));
        if (!buttons.empty())
            box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
        QCheckBox* suppression = nullptr;
        if (!request.suppressionTitle.isEmpty()) {
            suppression = new QCheckBox(request.suppressionTitle);
            box.setCheckBox(suppression);
        }
        QLineEdit* field = nullptr;
        if (request.hasTextField) {
            field = new QLineEdit(&box);
            field->setFixedSize(200, 24);
            // QMessageBox has no accessory slot: the field goes below the texts in its grid.
            if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
                grid->addWidget(field, grid->rowCount(), 0, 1, grid->columnCount());
        }
        box.exec();
        AlertResponse response;
        const auto clicked = std::find(buttons.begin(), buttons.end(), box.clickedButton());
        response.button = clicked == buttons.end() ? int(buttons.size()) - 1 : int(clicked - buttons.begin());
        response.suppressionChecked = suppression && suppression->isChecked();
        if (field)
            response.text = field->text();
        return response;
    }

    std::optional<QStringList> runOpenPanel(const OpenPanelRequest& request) override {
        QFileDialog dialog(parent_);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        if (request.canChooseDirectories && !request.canChooseFiles)
            dialog.setFileMode(QFileDialog::Directory);
        else
            dialog.setFileMode(request.allowsMultipleSelection ? QFileDialog::ExistingFiles
                                                               : QFileDialog::ExistingFile);
        if (!request.allowedExtensions.isEmpty())
            dialog.setNameFilter(nameFilter(request.allowedExtensions));
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        return dialog.selectedFiles();
    }

    std::optional<QString> runSavePanel(const SavePanelRequest& request) override {
        QFileDialog dialog(parent_);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        if (!request.allowedExtensions.isEmpty()) {
            dialog.setNameFilter(nameFilter(request.allowedExtensions));
            dialog.setDefaultSuffix(request.allowedExtensions.front());
        }
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().front();
    }

    void revealInFileViewer(const QString& path) override {
        // Desktops have no common "select this file" request; the folder that holds it is opened.
        const QFileInfo info(path);
        QDesktopServices::openUrl(
            QUrl::fromLocalFile(info.isDir() ? info.absoluteFilePath() : info.absolutePath()));
    }

  private:
    static QString nameFilter(const QStringList& extensions) {
        QStringList patterns;
        for (const auto& e : extensions)
            patterns << "*." + e;
        return QString("Files (%1)").arg(patterns.join(' '));
    }

    QPointer<QWidget> parent_;
};

} // namespace app

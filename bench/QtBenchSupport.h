#pragma once

// What the desktop program's benchmarks put in place of the user: dialogs that are never
// answered and messages that are only counted.

#include <optional>
#include <string>

#include <QString>
#include <QStringList>

#include "gui/DialogProvider.h"
#include "base/Feedback.h"

namespace skyvane::bench {

class NoDialogs final : public DialogProvider {
public:
    QString openFitsFile(QWidget*, const QString&) override { return {}; }
    QString saveFitsFile(QWidget*, const QString&) override { return {}; }
    QString saveBitmapFile(QWidget*, const QString&) override { return {}; }
    std::optional<double> askConstant(QWidget*, const QString&, double) override { return std::nullopt; }
    QString askImageList(QWidget*, const QString&, const QStringList&) override { return {}; }
    QString askImageFile(QWidget*, const QString&) override { return {}; }
    QStringList askNewImages(QWidget*, const QString&) override { return {}; }
    QString chooseFolder(QWidget*, const QString&, const QString&) override { return {}; }
    void showPreferences(QWidget*, AppContext&) override {}
    void showAbout(QWidget*) override {}
};

class CountingFeedback final : public Feedback {
public:
    void showError(const std::string&) override { ++count; }
    int count = 0;
};

} // namespace skyvane::bench

#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>

#include "gui/DialogProvider.h"

namespace skyvane::test {

// The user's answers to the program's questions, given by the test in the order they
// will be asked; every question is recorded. An exhausted queue answers "cancel".
// Questions that take a file, folder or list name share one queue (answers).
class ScriptedDialogs : public DialogProvider {
public:
    QString openFitsFile(QWidget* owner, const QString& startFolder) override { return nextFrom(owner, "open", startFolder); }
    QString saveFitsFile(QWidget* owner, const QString& startFolder) override { return nextFrom(owner, "save", startFolder); }
    QString saveBitmapFile(QWidget* owner, const QString& startFolder) override { return nextFrom(owner, "bmp", startFolder); }
    std::optional<double> askConstant(QWidget* owner, const QString& prompt, double initial) override
    {
        record(owner, "constant:" + prompt.toStdString());
        initials.push_back(initial);
        if (constants.empty())
            return std::nullopt;
        const std::optional<double> value = constants.front();
        constants.pop_front();
        return value;
    }
    QString askImageList(QWidget* owner, const QString& prompt, const QStringList& tags) override
    {
        offeredTags = tags;
        return next(owner, "list:" + prompt.toStdString());
    }
    QString askChoice(QWidget* owner, const QString& prompt, const QStringList& words, const QString& current) override
    {
        offeredWords = words;
        currentWord = current;
        return next(owner, "choice:" + prompt.toStdString());
    }
    QString askImageFile(QWidget* owner, const QString& startFolder) override { return nextFrom(owner, "image", startFolder); }
    QStringList askNewImages(QWidget* owner, const QString& startFolder) override
    {
        record(owner, "new");
        startFolders << startFolder;
        return newImages;
    }
    QString chooseFolder(QWidget* owner, const QString& title, const QString& current) override
    {
        titles << title;
        startFolders << current;
        return next(owner, "folder");
    }
    void showPreferences(QWidget* owner, AppContext&) override { record(owner, "preferences"); }
    void showAbout(QWidget* owner) override { record(owner, "about"); }

    std::deque<QString> answers;                 // files, folders, list tags and words, in order
    std::deque<std::optional<double>> constants; // "Enter constant" answers; nullopt = Cancel
    QStringList newImages;                       // the answer to every "New image(s)"

    std::vector<std::string> asked;  // "open", "save", "bmp", "image", "folder", "new",
                                     // "list:<prompt>", "constant:<prompt>", "choice:<prompt>",
                                     // "preferences", "about"
    std::vector<QWidget*> owners;    // the owner of every question
    std::vector<double> initials;    // the initial value of every "Enter constant"
    QStringList offeredTags;         // the tags of the last "Select image list"
    QStringList offeredWords;        // the words of the last choice, and the one preselected
    QString currentWord;
    QStringList startFolders;        // start folders of file questions, current folder of the chooser
    QStringList titles;              // titles of the folder chooser

private:
    void record(QWidget* owner, const std::string& what)
    {
        asked.push_back(what);
        owners.push_back(owner);
    }
    QString nextFrom(QWidget* owner, const std::string& what, const QString& startFolder)
    {
        startFolders << startFolder;
        return next(owner, what);
    }
    QString next(QWidget* owner, const std::string& what)
    {
        record(owner, what);
        if (answers.empty())
            return {};
        QString answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

} // namespace skyvane::test

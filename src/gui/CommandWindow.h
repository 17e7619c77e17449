#pragma once

#include <limits>
#include <optional>
#include <string>

#include <QRect>
#include <QString>

#include "command/CommandProtocol.h"
#include "command/CommandRecall.h"
#include "gui/ToolWindow.h"

class QAction;
class QEvent;
class QKeyEvent;
class QPlainTextEdit;

namespace skyvane {

struct AppContext;

// The tool window in which commands are typed and their replies read: one multi-line
// text box holding the whole dialogue, ending with the prompt ">" after which the next
// command is typed. Everything before the prompt is history and read-only.
//
// The history text is kept byte for byte as the command protocol builds it (lines end
// with "\r\n"); the text box shows the same lines with its own paragraph breaks.
// Everything the user may change is the last line after its first character (the
// prompt); a change elsewhere is undone, whether it comes from a key (the key rules
// below) or not (paste or cut with the mouse or the context menu, drag and drop, input
// methods): those are checked against the protected part of the text and undone too.
// Pasted or dropped text becomes one line. Up and Down on the prompt line recall the
// commands of the run, as a shell does.
class CommandWindow : public ToolWindow, public CommandWindowLink {
    Q_OBJECT
public:
    static constexpr int ClearHistoryId = 40425;

    // Caption "Command window"; a menu bar with "Edit" > "Clear history" (action data
    // 40425); the history text box fills the rest of the window. Initial text ">".
    CommandWindow(ToolWindowTable& table, AppContext& context, QWidget* owner, const QRect& screenRect);
    ~CommandWindow() override;

    // Where typed commands go: WM_PRIVATE_CMD_EXE with code 101 is posted to target.
    // Without a target a typed line still lands in CommandSlot, and nothing runs.
    void setExecuteTarget(QObject* mainWindow);

    // WM_PRIVATE_CMD_REPLY sent synchronously to this window with code (102, 103, 104
    // update the history; other codes are ignored).
    void sendReply(int code) override;

    // The text box, accessible name "Command history".
    QPlainTextEdit* history() const;
    // The history exactly as the protocol sees it ("\r\n" between lines).
    const std::string& historyText() const { return history_; }
    QAction* clearHistoryAction() const { return clearAction_; }

public slots:
    // "Clear history": the text becomes ">" with the caret after it.
    void clearHistory();

protected:
    bool event(QEvent* event) override;

private:
    class HistoryEdit;
    friend class HistoryEdit;

    // Up or Down with the caret on the prompt line: the input line becomes the previous or
    // next command of the run. Returns whether the key was used so.
    bool recallKey(const QKeyEvent& key);
    // The key rules, before and after the text box has handled a key press.
    void keyAboutToBeHandled(const QKeyEvent& key);
    void keyHandled();
    void takeSnapshot();
    void historyEdited();

    // Replaces the whole text (history_ and the text box); the caret goes to caretAt
    // (a position in the text box, -1 for the end) and the last line is scrolled into view.
    // shown, when given, is what the text box showed for text before (a saved state).
    void setHistory(const std::string& text, int caretAt = -1, const QString* shown = nullptr);
    // Makes the text box show target (its raw text, U+2029 between paragraphs).
    void showText(const QString& target);
    void replyReceived(int code);

    AppContext& context_;
    CommandRecall recall_;
    HistoryEdit* edit_ = nullptr;
    QAction* clearAction_ = nullptr;
    QObject* executeTarget_ = nullptr;

    std::string history_;        // the whole text, CR LF line ends
    std::string protected_;      // history_ up to and including the last line's first character
    QString protectedShown_;     // the same part as the text box shows it

    std::optional<std::string> snapshot_; // the text at the last key press that took one
    QString snapshotShown_;      // the same as the text box showed it
    bool snapshotInStep_ = false; // snapshotShown_ is what the box showed for the snapshot
    QString shown_;              // what the box shows for history_ (while shownMatches_)
    int promptStart_ = 0;        // text box position of the last line's first character
    int caretAtKey_ = 0;         // selection start at the last key press
    bool undoPending_ = false;
    bool submitPending_ = false;
    bool selectionEnterPending_ = false;
    bool updating_ = false;      // the program is setting the text; changes are its own
    bool shownMatches_ = false;  // the text box shows exactly history_
    int changedFrom_ = std::numeric_limits<int>::max();       // first position the document reported changed since the last check
};

} // namespace skyvane

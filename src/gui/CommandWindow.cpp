#include "gui/CommandWindow.h"

#include <algorithm>
#include <limits>
#include <utility>

#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include "context/AppContext.h"
#include "gui/PrivateMessages.h"

namespace skyvane {

namespace {

constexpr char16_t ParagraphSeparator = u'\u2029';

// The history keeps CR LF between lines; the text box keeps paragraphs. A lone CR or LF
// of a reply also starts a new paragraph in the box (the history keeps its bytes).
QString Shown(const std::string& text)
{
    QString shown = QString::fromStdString(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return shown;
}

// What the user typed, as history text: every paragraph break becomes CR LF.
std::string Typed(const QString& raw)
{
    QString text = raw;
    text.replace(QChar(ParagraphSeparator), QStringLiteral("\r\n"));
    return text.toStdString();
}

bool IsEnter(int key)
{
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

// Pasted or dropped text as one input line: every line break becomes a blank, and the
// breaks that end the text are dropped (a copied line usually carries its own), so that
// a command is never split over the history.
QString OneLine(QString text)
{
    while (!text.isEmpty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u'\u2028' || text.back() == u'\u2029'))
        text.chop(1);
    text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    for (const char16_t lineBreak : {u'\r', u'\n', u'\u2028', u'\u2029'})
        text.replace(QChar(lineBreak), QLatin1Char(' '));
    return text;
}

} // namespace

// The text box with the key filter in front of its own key handling. Overriding the
// handler rather than installing an event filter lets the window see the end of each
// key's handling too: a change made while a key is handled comes from that key, every
// other change (mouse, context menu, drag and drop, input method) does not.
class CommandWindow::HistoryEdit final : public QPlainTextEdit {
public:
    HistoryEdit(CommandWindow& window) : QPlainTextEdit(&window), window_(window) {}

    // The document's text with U+2029 between paragraphs; positions are cursor positions.
    QString raw() const { return document()->toRawText(); }

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        if (window_.recallKey(*event)) {
            event->accept();
            return;
        }
        window_.keyAboutToBeHandled(*event);
        QPlainTextEdit::keyPressEvent(event);
        window_.keyHandled();
    }

    void insertFromMimeData(const QMimeData* source) override
    {
        if (!source || !source->hasText()) {
            QPlainTextEdit::insertFromMimeData(source);
            return;
        }
        QMimeData line;
        line.setText(OneLine(source->text()));
        QPlainTextEdit::insertFromMimeData(&line);
    }

private:
    CommandWindow& window_;
};

CommandWindow::CommandWindow(ToolWindowTable& table, AppContext& context, QWidget* owner, const QRect& screenRect)
    : ToolWindow(table, owner, QStringLiteral("Command window"), screenRect), context_(context)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* menuBar = new QMenuBar(this);
    menuBar->setNativeMenuBar(false); // the menu belongs to this window, not to the screen's top
    QMenu* editMenu = menuBar->addMenu(QStringLiteral("Edit"));
    editMenu->setAccessibleName(QStringLiteral("Edit"));
    clearAction_ = editMenu->addAction(QStringLiteral("Clear history"));
    clearAction_->setData(ClearHistoryId);
    connect(clearAction_, &QAction::triggered, this, &CommandWindow::clearHistory);
    layout->setMenuBar(menuBar);

    edit_ = new HistoryEdit(*this);
    edit_->setAccessibleName(QStringLiteral("Command history"));
    edit_->setLineWrapMode(QPlainTextEdit::NoWrap); // long lines scroll sideways
    edit_->setUndoRedoEnabled(false);              // the history has its own rules for undoing
    layout->addWidget(edit_);
    connect(edit_->document(), &QTextDocument::contentsChange, this, [this](int position, int, int) {
        changedFrom_ = std::min(changedFrom_, position);
    });
    connect(edit_, &QPlainTextEdit::textChanged, this, &CommandWindow::historyEdited);

    setHistory(">");
    menuBar->show();
    edit_->show();
}

CommandWindow::~CommandWindow() = default;

void CommandWindow::setExecuteTarget(QObject* mainWindow)
{
    executeTarget_ = mainWindow;
}

void CommandWindow::sendReply(int code)
{
    SendCode(this, PrivateMessages::reply(), code);
}

QPlainTextEdit* CommandWindow::history() const
{
    return edit_;
}

void CommandWindow::clearHistory()
{
    setHistory(">", 1);
}

bool CommandWindow::event(QEvent* event)
{
    if (event->type() == PrivateMessages::reply()) {
        if (auto* message = dynamic_cast<CodeEvent*>(event)) {
            const int code = message->lowCode();
            if (code == CodeReplied || code == CodeEmpty || code == CodeEcho) {
                replyReceived(code);
                return true;
            }
        }
    } else if (event->type() == PrivateMessages::problem()) {
        auto* message = dynamic_cast<CodeEvent*>(event);
        if (message && message->lowCode() == CodeRestore) {
            // The deferred undo. Without a saved text (nothing was refused) there is
            // nothing to put back.
            if (snapshot_) {
                setHistory(*snapshot_, -1, snapshotInStep_ ? &snapshotShown_ : nullptr);
                snapshot_.reset();
            }
            return true;
        }
    }
    return ToolWindow::event(event);
}

void CommandWindow::keyAboutToBeHandled(const QKeyEvent& key)
{
    const QTextCursor cursor = edit_->textCursor();
    promptStart_ = edit_->document()->lastBlock().position();
    caretAtKey_ = cursor.selectionStart();
    undoPending_ = false;
    submitPending_ = false;

    if (caretAtKey_ > promptStart_) {
        // In the input line: Backspace must not take the prompt; Enter submits the line.
        if (caretAtKey_ == promptStart_ + 1 && key.key() == Qt::Key_Backspace) {
            undoPending_ = true;
            takeSnapshot();
        } else if (IsEnter(key.key())) {
            submitPending_ = true;
            takeSnapshot();
        }
    } else {
        // In the history or just before the prompt: whatever the key changes is undone.
        if (cursor.hasSelection() && IsEnter(key.key()))
            selectionEnterPending_ = true;
        undoPending_ = true;
        takeSnapshot();
    }
}

bool CommandWindow::recallKey(const QKeyEvent& key)
{
    const bool up = key.key() == Qt::Key_Up;
    if ((!up && key.key() != Qt::Key_Down) || (key.modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
        return false;
    // Only on the prompt line; anywhere else the arrows move the caret as ever.
    if (edit_->textCursor().selectionStart() < edit_->document()->lastBlock().position())
        return false;
    const std::optional<std::string> line = up ? recall_.previous(history_.substr(protected_.size())) : recall_.next();
    if (line)
        setHistory(protected_ + *line);
    return true;
}

void CommandWindow::keyHandled()
{
    // A key that changed nothing leaves nothing to undo or submit; a later change that
    // does not come from a key is checked on its own (historyEdited).
    undoPending_ = false;
    submitPending_ = false;
}

void CommandWindow::takeSnapshot()
{
    snapshot_ = history_;
    snapshotShown_ = edit_->raw();
    snapshotInStep_ = shownMatches_;
}

void CommandWindow::historyEdited()
{
    const int changedFrom = std::exchange(changedFrom_, std::numeric_limits<int>::max());
    if (updating_)
        return;
    shownMatches_ = false; // until the change is accepted or undone
    if (undoPending_ && selectionEnterPending_) {
        undoPending_ = false;
        selectionEnterPending_ = false;
        PostCode(this, PrivateMessages::problem(), CodeRestore);
        return;
    }
    if (undoPending_) {
        undoPending_ = false;
        setHistory(*snapshot_, caretAtKey_ <= promptStart_ ? promptStart_ + 1 : caretAtKey_, snapshotInStep_ ? &snapshotShown_ : nullptr);
        return;
    }
    if (submitPending_) {
        submitPending_ = false;
        const std::string line = snapshotShown_.mid(promptStart_ + 1).toStdString();
        // The line break of the Enter key is gone again.
        setHistory(*snapshot_, -1, snapshotInStep_ ? &snapshotShown_ : nullptr);
        context_.CommandSlot = line;
        recall_.add(line);
        if (executeTarget_)
            PostCode(executeTarget_, PrivateMessages::execute(), CodeExecute);
        return;
    }
    // Any other change: the input line may change, the history before it may not.
    const int protectedLength = static_cast<int>(protectedShown_.size());
    if (changedFrom >= protectedLength) {
        // The document reports where it changed: behind the protected part, which is
        // therefore intact. Only the input line is read (typing stays cheap however long
        // the history grows).
        QTextCursor tail(edit_->document());
        tail.setPosition(protectedLength);
        tail.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        const QString typed = tail.selectedText();
        history_ = protected_ + Typed(typed);
        shown_ = protectedShown_ + typed;
        shownMatches_ = true;
        return;
    }
    const QString raw = edit_->raw();
    if (raw.startsWith(protectedShown_)) {
        history_ = protected_ + Typed(raw.mid(protectedShown_.size()));
        shown_ = raw;
        shownMatches_ = true;
    } else {
        const QString previous = shown_;
        setHistory(history_, -1, &previous);
    }
}

void CommandWindow::replyReceived(int code)
{
    if (code == CodeEcho) // a command the menus composed is recalled like a typed one
        recall_.add(context_.CommandSlot);
    setHistory(HistoryAfterReply(history_, code, context_.CommandSlot, context_.ReplySlot));
}

void CommandWindow::showText(const QString& target)
{
    // Only the part that differs is replaced: rebuilding the whole document costs time in
    // proportion to the history, and a refused keystroke changes a character or two.
    const QString current = edit_->raw();
    const qsizetype limit = std::min(current.size(), target.size());
    qsizetype prefix = 0;
    while (prefix < limit && current[prefix] == target[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < limit - prefix && current[current.size() - 1 - suffix] == target[target.size() - 1 - suffix])
        ++suffix;
    QTextCursor cursor(edit_->document());
    cursor.setPosition(static_cast<int>(prefix));
    cursor.setPosition(static_cast<int>(current.size() - suffix), QTextCursor::KeepAnchor);
    cursor.insertText(target.mid(prefix, target.size() - prefix - suffix));
}

void CommandWindow::setHistory(const std::string& text, int caretAt, const QString* shown)
{
    updating_ = true;
    const bool appends = shownMatches_ && text.size() >= history_.size() && text.compare(0, history_.size(), history_) == 0
        && (history_.empty() || history_.back() != '\r');
    if (appends) {
        // Replies only add to the end: the text box takes the new part, not the whole text.
        QTextCursor end(edit_->document());
        end.movePosition(QTextCursor::End);
        end.insertText(Shown(text.substr(history_.size())));
    } else if (shown) {
        showText(*shown);
    } else {
        edit_->setPlainText(Shown(text));
    }
    history_ = text;
    shownMatches_ = true;

    // The protected part: everything up to and including the last line's first character.
    const QString raw = edit_->raw();
    shown_ = raw;
    const int lastLine = edit_->document()->lastBlock().position();
    const int protectedLength = std::min<int>(lastLine + 1, static_cast<int>(raw.size()));
    protectedShown_ = raw.left(protectedLength);
    const std::string tail = Typed(raw.mid(protectedLength));
    if (history_.size() >= tail.size() && history_.compare(history_.size() - tail.size(), tail.size(), tail) == 0) {
        protected_ = history_.substr(0, history_.size() - tail.size());
    } else {
        // The last line holds characters the text box cannot show as they are; from now on
        // the history is what the box shows.
        history_ = Typed(raw);
        protected_ = history_.substr(0, history_.size() - tail.size());
    }

    QTextCursor caret(edit_->document());
    if (caretAt < 0)
        caret.movePosition(QTextCursor::End);
    else
        caret.setPosition(std::min(caretAt, static_cast<int>(raw.size())));
    edit_->setTextCursor(caret);
    edit_->verticalScrollBar()->setValue(edit_->verticalScrollBar()->maximum());
    edit_->ensureCursorVisible();
    updating_ = false;
}

} // namespace skyvane

#include "command/RegistrationCommands.h"

#include "command/Interpreter.h"
#include "command/Messages.h"
#include "context/AppContext.h"

namespace skyvane {

namespace {

// The aligned frames into a list output.
class OutputSink final : public AlignedFrameSink {
public:
    explicit OutputSink(ListOutput& output) : output_(output) {}
    bool write(std::size_t position, const std::string& /*framePath*/, ImageRecord& aligned, std::string_view history) override
    {
        return output_.writeFrame(position, aligned, history) == FitsError::None;
    }

private:
    ListOutput& output_;
};

} // namespace

PatternRegistrationCommand::PatternRegistrationCommand(AppContext& context, const std::string& text)
{
    const int n = FindListByName(context.lists, BracketArgument(text));
    if (n == 0) {
        refusal_ = PatternRefusalReply(PatternRefusal::ListNotFound);
        return;
    }
    request_.framePaths = SelectedFilePaths(context.lists, n);
    if (request_.framePaths.empty()) {
        refusal_ = PatternRefusalReply(PatternRefusal::NoSelectedImage);
        return;
    }
    listFolder_ = LabelFolder(context.lists.ListLabel(n));
}

void PatternRegistrationCommand::run(Feedback& feedback)
{
    output_ = std::make_unique<ListOutput>();
    if (output_->create(listFolder_, ListOutputName("patternreg", ""), request_.framePaths) != 0) {
        folderFailed_ = true;
        return;
    }
    OutputSink sink(*output_);
    result_ = RegisterByPattern(request_, sink, feedback);
    if (result_.status == PatternStatus::Done) {
        if (output_->keep() != 0)
            folderFailed_ = true; // nothing is left of the results: the folder could not take its name
    } else {
        output_->discard();
    }
}

std::string PatternRegistrationCommand::finish(AppContext& context, bool& cancelled)
{
    cancelled = false;
    if (folderFailed_)
        return PatternRefusalReply(PatternRefusal::OutputFolderFailed);
    if (result_.status == PatternStatus::Cancelled) {
        cancelled = true;
        return {};
    }
    if (result_.status != PatternStatus::Done) {
        if (result_.status == PatternStatus::ReferenceUnreadable && !result_.frames.empty()) {
            LoadStatus load;
            load.error = result_.frames[0].readError;
            ReportLoadFailure(context.messages, load, result_.frames[0].path);
        }
        return PatternRegistrationReply(result_, {});
    }
    const TreeItem list = AddOutputList(context.lists, output_->folder(), output_->fileNames());
    return PatternRegistrationReply(result_, LabelTag(context.lists.ItemLabel(list)));
}

} // namespace skyvane

#include "command/Messages.h"

#include "base/Numbers.h"
#include "base/Paths.h"
#include "base/PrintableText.h"
#include "display/BitmapExport.h"
#include "image/FitsWriter.h"

#include <charconv>
#include <cstring>

namespace skyvane {

namespace {

constexpr const char* NotTwoDimensionalText = "Loaded image is not 2-D.\nOnly 2-D images are supported.";
constexpr const char* SizeMismatchText = "Image size mismatch.";
constexpr const char* SizeReadText = "Error while reading image size";
constexpr const char* DataReadText = "Error while reading image data";
constexpr const char* HeadersReadText = "Error while reading image headers";
constexpr const char* WriteFailedText = "Error while writing image file";

// A reading step that could not read the size: the 2-D message first when that was why.
void ReportSizeStep(Feedback& feedback, FitsError error, const std::string& path)
{
    if (error == FitsError::NotTwoDimensional)
        feedback.showFileError(NotTwoDimensionalText, path);
    feedback.showFileError(SizeReadText, path);
}

} // namespace

std::string NotEnoughMemoryText(int width, int height)
{
    return "Not enough memory for an image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels.";
}

void ReportLoadFailure(Feedback& feedback, const LoadStatus& status, const std::string& path)
{
    if (status.loaded())
        return;
    switch (status.step) {
    case LoadStep::Size:
        ReportSizeStep(feedback, status.error, path);
        break;
    case LoadStep::Data:
        if (status.error == FitsError::NotEnoughMemory) {
            ReportNotEnoughMemory(feedback, status.size.width, status.size.height, path);
            break;
        }
        if (status.error == FitsError::NotTwoDimensional)
            feedback.showFileError(NotTwoDimensionalText, path);
        else if (status.error == FitsError::SizeMismatch)
            feedback.showFileError(SizeMismatchText, path);
        feedback.showFileError(DataReadText, path);
        break;
    case LoadStep::Headers:
        feedback.showFileError(HeadersReadText, path);
        break;
    }
}

namespace {

// A frame of a list left out of a job: the one message that says why.
void ReportUnusableFrame(Feedback& feedback, FitsError error, const std::string& path)
{
    if (error == FitsError::NotTwoDimensional)
        feedback.showFileError(NotTwoDimensionalText, path);
    else if (error == FitsError::SizeMismatch)
        feedback.showFileError(SizeMismatchText, path);
    else
        feedback.showFileError(DataReadText, path);
}

} // namespace

void ReportCoaddNotice(Feedback& feedback, const CoaddNotice& notice)
{
    switch (notice.kind) {
    case CoaddNotice::Kind::FirstFrameSize:
        ReportSizeStep(feedback, notice.error, notice.path);
        break;
    case CoaddNotice::Kind::FirstFrameHeaders:
        feedback.showFileError(HeadersReadText, notice.path);
        break;
    case CoaddNotice::Kind::FrameUnusable:
        ReportUnusableFrame(feedback, notice.error, notice.path);
        break;
    case CoaddNotice::Kind::HeadersOfFirstFrame:
        feedback.showError("Header option not yet implemented, headers from first image will be used");
        break;
    case CoaddNotice::Kind::NotEnoughMemory:
        ReportNotEnoughMemory(feedback, notice.size.width, notice.size.height);
        break;
    case CoaddNotice::Kind::ScaleUnknown: {
        constexpr std::size_t NamesShown = 5;
        std::string names;
        for (std::size_t i = 0; i < notice.frames.size() && i < NamesShown; ++i)
            names += (i > 0 ? ", " : "") + PrintableText(PathFileName(notice.frames[i]));
        if (notice.frames.size() > NamesShown)
            names += ", ...";
        const bool one = notice.frames.size() == 1;
        feedback.showNotice("The stars of " + std::to_string(notice.frames.size()) + (one ? " frame (" : " frames (") + names +
                            ") could not be compared with those of the first frame (are the frames registered?); " +
                            (one ? "it is" : "they are") + " combined unscaled.");
        break;
    }
    }
}

void ReportListArithmeticNotice(Feedback& feedback, const ListArithmeticNotice& notice)
{
    using Kind = ListArithmeticNotice::Kind;
    switch (notice.kind) {
    case Kind::OperandUnreadable:
        ReportLoadFailure(feedback, notice.load, notice.path);
        break;
    case Kind::OperandMismatch:
        feedback.showFileError("Size of the image is not compatible with the images of the list.", notice.path);
        break;
    case Kind::FrameUnusable:
        ReportUnusableFrame(feedback, notice.error, notice.path);
        break;
    case Kind::FolderFailed:
        ReportOutputFolderFailure(feedback, notice.errorNumber, notice.path);
        break;
    case Kind::WriteFailed:
        feedback.showFileError(WriteFailedText, notice.path);
        break;
    case Kind::NotEnoughMemory:
        ReportNotEnoughMemory(feedback, notice.size.width, notice.size.height, notice.path);
        break;
    case Kind::OperandsMismatch:
        feedback.showFileError("The flat does not match the dark in size or colour mosaic.", notice.path);
        break;
    case Kind::FlatUnusable:
        feedback.showFileError("The flat cannot be normalised: its mean is not a positive number.", notice.path);
        break;
    case Kind::MosaicMismatch:
        feedback.showFileError("Colour mosaic of the image does not match the dark or the flat.", notice.path);
        break;
    }
}

void ReportOutputFolderFailure(Feedback& feedback, int errorNumber, const std::string& path)
{
    feedback.showFileError(std::string("Cannot create the folder for the results: ") + std::strerror(errorNumber), path);
}

void ReportRegistration(Feedback& feedback, const RegistrationResult& result, const std::string& failedWrite)
{
    switch (result.status) {
    case RegistrationStatus::ReferenceUnreadable:
        if (!result.frames.empty()) {
            LoadStatus load;
            load.error = result.frames[0].readError;
            ReportLoadFailure(feedback, load, result.frames[0].path);
        }
        break;
    case RegistrationStatus::NotEnoughMemory:
        if (!result.frames.empty() && result.frames[0].readError == FitsError::NotEnoughMemory)
            ReportNotEnoughMemory(feedback, result.width, result.height, result.frames[0].path);
        else
            ReportNotEnoughMemory(feedback, result.width, result.height);
        break;
    case RegistrationStatus::WriteFailed:
        feedback.showFileError(WriteFailedText, failedWrite);
        break;
    case RegistrationStatus::Done:
        for (const RegisteredFrame& frame : result.frames)
            if (frame.fate == FrameFate::NotEnoughMemory)
                ReportNotEnoughMemory(feedback, result.width, result.height, frame.path);
        break;
    case RegistrationStatus::NoFrame:
    case RegistrationStatus::StarSaturated:
    case RegistrationStatus::StarTooFaint:
    case RegistrationStatus::StarLost:
    case RegistrationStatus::NoStructure:
    case RegistrationStatus::ReferenceMosaic:
    case RegistrationStatus::Cancelled:
        break;
    }
}

std::string ListProgressText(int done, int total)
{
    return "Frame " + std::to_string(done) + " of " + std::to_string(total) + " done";
}

void ListArithmeticMessages::progress(int done, int total)
{
    feedback_.showProgress(ListProgressText(done, total), total > 0 ? static_cast<double>(done) / total : 1.0);
}

std::string CalibrationReply(ListArithmeticStatus status, int written, std::int64_t hotPixels, std::size_t leftOut,
                             const std::string& listTag)
{
    switch (status) {
    case ListArithmeticStatus::Done:
        break;
    case ListArithmeticStatus::NoFrame:
        return "     list has no selected image !";
    case ListArithmeticStatus::NoUsableFrame:
        return "     no selected image could be calibrated !";
    case ListArithmeticStatus::OperandRefused:
        return "     dark or flat could not be used, nothing has been written !";
    case ListArithmeticStatus::FolderFailed:
        return "     folder for the results could not be created !";
    case ListArithmeticStatus::WriteFailed:
        return "     results could not be written, nothing has been kept !";
    case ListArithmeticStatus::NotEnoughMemory:
        return "     not enough memory !";
    case ListArithmeticStatus::Cancelled:
        return {};
    }
    std::string reply = "     " + std::to_string(written) + (written == 1 ? " image has been calibrated, " : " images have been calibrated, ");
    reply += std::to_string(hotPixels) + (hotPixels == 1 ? " hot pixel replaced; new list " : " hot pixels replaced; new list ");
    reply += listTag;
    if (leftOut > 0)
        reply += "; " + std::to_string(leftOut) + " left out";
    return reply;
}

std::string CalibrationNoDarkReply()
{
    return "     dark image not recognized !";
}

std::string DemosaicDoneReply(const Mosaic& mosaic)
{
    return "     image has been debayered (" + std::string(mosaic.name()) + ")";
}

std::string NoMosaicReply()
{
    return "     image is no colour mosaic !";
}

std::string PatternWordReply()
{
    return "     pattern must be RGGB, BGGR, GRBG or GBRG !";
}

std::string ListDemosaicReply(const ListDemosaicResult& result, const std::string& listTag)
{
    if (result.status == ListArithmeticStatus::Cancelled)
        return {};
    std::string reply;
    for (const std::string& path : result.noMosaic)
        reply += "     " + PathFileName(path) + "  no colour mosaic, left out\r\n";
    switch (result.status) {
    case ListArithmeticStatus::Done:
        break;
    case ListArithmeticStatus::NoUsableFrame:
        return reply + "     no selected image could be debayered !";
    default:
        return reply + CalibrationReply(result.status, 0, 0, 0, {});
    }
    const int written = result.output.fileCount();
    reply += "     " + std::to_string(written) + (written == 1 ? " image has been debayered; new list " : " images have been debayered; new list ");
    reply += listTag;
    if (!result.leftOut.empty())
        reply += "; " + std::to_string(result.leftOut.size()) + " left out";
    return reply;
}

std::string MosaicSizeLine(const HeaderCards& cards)
{
    const std::optional<Mosaic> mosaic = MosaicOfCards(cards);
    if (!mosaic)
        return {};
    return "\r\n     colour mosaic " + std::string(mosaic->name());
}

std::string UnmatchedFramesReply()
{
    return "     frames without a reliable match may be turned or flipped: Star pattern registration aligns those";
}

std::string ClippedPixelsText(std::int64_t pixels, SampleFormat format)
{
    return std::to_string(pixels) + (format == SampleFormat::Unsigned16 ? " pixels outside 0..65535 were clipped" : " pixels outside 0..32767 were clipped");
}

std::string ChangedValuesText(const SaveReport& report, SampleFormat format)
{
    if (report.cutPixels == 0 && report.missingPixels == 0)
        return ClippedPixelsText(report.clippedPixels, format);
    std::string text = ClippedPixelsText(report.clippedPixels, format);
    text += report.missingPixels > 0 ? ", " : " and ";
    text += std::to_string(report.cutPixels) + " pixels were cut to whole numbers";
    if (report.missingPixels > 0)
        text += " and " + std::to_string(report.missingPixels) + " missing pixels were written as 0";
    return text + "; to keep them, choose 32-bit floating point in Preferences";
}

void ReportHeaderOption(Feedback& feedback, HeaderOptionResult result)
{
    if (result == HeaderOptionResult::NotImplemented)
        feedback.showError("Header option not yet implemented, Image A headers will be used");
}

void ReportSizeMismatch(Feedback& feedback, const std::string& path)
{
    feedback.showFileError("Size of loaded image is not compatible with displayed image.", path);
}

void ReportKindMismatch(Feedback& feedback, const std::string& path)
{
    feedback.showFileError(SizeMismatchText, path);
}

void ReportNotEnoughMemory(Feedback& feedback, int width, int height)
{
    feedback.showError(NotEnoughMemoryText(width, height));
}

void ReportNotEnoughMemory(Feedback& feedback, int width, int height, const std::string& path)
{
    feedback.showFileError(NotEnoughMemoryText(width, height), path);
}

bool loadFitsReporting(ImageRecord& record, const std::string& path, Feedback& feedback)
{
    const LoadStatus status = loadFits(record, path);
    ReportLoadFailure(feedback, status, path);
    return status.loaded();
}

bool saveFitsReporting(const ImageRecord& record, const std::string& path, Feedback& feedback)
{
    if (saveFits(record, path) == FitsError::None)
        return true;
    feedback.showFileError(WriteFailedText, path);
    return false;
}

bool saveFitsReporting(const ImageRecord& record, const std::string& path, SampleFormat format, Feedback& feedback)
{
    SaveReport report;
    if (saveFits(record, path, format, &report) != FitsError::None) {
        feedback.showFileError(WriteFailedText, path);
        return false;
    }
    if (report.changed())
        feedback.showNotice(ChangedValuesText(report, format));
    return true;
}

bool exportBitmapReporting(const DisplayBitmap& bitmap, const std::string& path, Feedback& feedback)
{
    if (exportBitmap(bitmap, path))
        return true;
    feedback.showFileError("Failed to create bitmap file.", path);
    return false;
}

// ---------------------------------------------------------------------------------------
// Registration by star patterns

namespace {

// value with the given decimals, a point whatever the locale, no "-0.00".
std::string FixedFigure(double value, int decimals)
{
    char text[64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    std::string figure = error == std::errc() ? std::string(text, end) : std::string("nan");
    if (figure.size() > 1 && figure[0] == '-' && figure.find_first_not_of("-0.") == std::string::npos)
        figure.erase(0, 1);
    return figure;
}

std::string_view PatternFateText(PatternFate fate)
{
    switch (fate) {
    case PatternFate::Registered:
        break;
    case PatternFate::Unreadable:
        return "could not be read";
    case PatternFate::SizeDiffers:
        return "size differs from the reference frame";
    case PatternFate::ColourMosaic:
        return "colour mosaic: debayer first";
    case PatternFate::NoMatch:
        return "no match";
    case PatternFate::NotEnoughMemory:
        return "not enough memory";
    }
    return {};
}

} // namespace

std::string PatternRegistrationReply(const PatternRegistrationResult& result, std::string_view newList)
{
    switch (result.status) {
    case PatternStatus::Done:
        break;
    case PatternStatus::NoFrame:
        return PatternRefusalReply(PatternRefusal::NoSelectedImage);
    case PatternStatus::ReferenceUnreadable:
        return "     first selected image could not be read !";
    case PatternStatus::ReferenceMosaic:
        return "     reference frame is a colour mosaic: debayer first !";
    case PatternStatus::TooFewStars:
        return "     too few stars found on the reference frame !";
    case PatternStatus::NotEnoughMemory:
        return "     not enough memory !";
    case PatternStatus::WriteFailed:
        return "     registered frames could not be written !";
    case PatternStatus::Cancelled:
        return {};
    }
    std::string reply;
    int registered = 0;
    for (const PatternFrame& frame : result.frames) {
        reply += "     ";
        reply += PathFileName(frame.path);
        if (frame.fate == PatternFate::Registered) {
            ++registered;
            std::string rotation = FixedFigure(frame.rotation, 2);
            if (rotation == "-180.00")
                rotation = "180.00";
            reply += "  dx = " + FixedFigure(frame.dx, 2) + "  dy = " + FixedFigure(frame.dy, 2) + "  rotation = " + rotation +
                     "  scale = " + FixedFigure(frame.scale, 4) + "  stars = " + FormatInteger(frame.stars);
            if (frame.mirrored)
                reply += "  mirrored";
        } else {
            reply += "  ";
            reply += PatternFateText(frame.fate);
            reply += ", left out";
        }
        reply += "\r\n";
    }
    reply += "     " + FormatInteger(registered) + " of " + FormatInteger(static_cast<std::int64_t>(result.frames.size())) +
             " frames registered: new list " + std::string(newList);
    return reply;
}

std::string PatternRefusalReply(PatternRefusal refusal)
{
    switch (refusal) {
    case PatternRefusal::ListNotFound:
        return "     list name not recognized !";
    case PatternRefusal::NoSelectedImage:
        return "     list has no selected image !";
    case PatternRefusal::OutputFolderFailed:
        break;
    }
    return "     output folder could not be created !";
}

bool exportPictureReporting(const DisplayBitmap& bitmap, const ImageGrid& image, const PictureMapping& mapping,
                            const std::string& path, Feedback& feedback)
{
    bool exported = false;
    switch (PictureFormatOfName(path)) {
    case PictureFormat::Bitmap:
        return exportBitmapReporting(bitmap, path, feedback);
    case PictureFormat::Png:
        exported = exportPng(bitmap, path);
        break;
    case PictureFormat::Jpeg:
        exported = exportJpeg(bitmap, path);
        break;
    case PictureFormat::Tiff16:
        exported = exportTiff16(image, mapping, path);
        break;
    }
    if (!exported)
        feedback.showFileError("Failed to create picture file.", path);
    return exported;
}

// ---------------------------------------------------------------------------------------
// Frame quality

namespace {

std::string_view MeasureFateText(MeasureFate fate)
{
    switch (fate) {
    case MeasureFate::Measured:
        break;
    case MeasureFate::Unreadable:
        return "could not be read";
    case MeasureFate::NotEnoughMemory:
        return "not enough memory";
    }
    return {};
}

} // namespace

void ReportMeasurement(Feedback& feedback, const MeasureResult& result)
{
    for (const MeasuredFrame& frame : result.frames) {
        if (frame.fate == MeasureFate::Unreadable)
            ReportLoadFailure(feedback, frame.load, frame.path);
        else if (frame.fate == MeasureFate::NotEnoughMemory)
            ReportNotEnoughMemory(feedback, frame.load.size.width, frame.load.size.height, frame.path);
    }
}

void ReportQualityTableFailure(Feedback& feedback, int errorNumber, const std::string& path)
{
    feedback.showFileError(std::string("Cannot write the quality table: ") + std::strerror(errorNumber), path);
}

std::string MeasureReply(const MeasureResult& result, bool tableWritten)
{
    std::string reply;
    for (const MeasuredFrame& frame : result.frames) {
        reply += "     ";
        reply += PathFileName(frame.path);
        if (frame.fate == MeasureFate::Measured) {
            const FrameQuality& q = frame.quality;
            reply += "  background = " + FixedFigure(q.background, 1) + "  noise = " + FixedFigure(q.noise, 2) +
                     "  fwhm = " + FixedFigure(q.fwhm, 2) + "  roundness = " + FixedFigure(q.roundness, 2) +
                     "  stars = " + FormatInteger(q.stars);
        } else {
            reply += "  ";
            reply += MeasureFateText(frame.fate);
            reply += ", left out";
        }
        reply += "\r\n";
    }
    reply += "     " + FormatInteger(result.measured) + " of " + FormatInteger(static_cast<std::int64_t>(result.frames.size())) +
             " frames measured; " + std::string(QualityFileName) + (tableWritten ? " written" : " could not be written !");
    return reply;
}

std::string KeepBestReply(const MeasureResult& result, const std::vector<bool>& kept)
{
    std::string names;
    std::int64_t count = 0;
    for (std::size_t k = 0; k < result.frames.size(); ++k) {
        if (k < kept.size() && kept[k]) {
            ++count;
            continue;
        }
        names += names.empty() ? "; unselected: " : ", ";
        names += PathFileName(result.frames[k].path);
    }
    return "     kept " + FormatInteger(count) + " of " + FormatInteger(static_cast<std::int64_t>(result.frames.size())) + " frames" + names;
}

std::string StackingChoiceReply(StackingReply reply, std::string_view name)
{
    switch (reply) {
    case StackingReply::Normalisation:
        return "     normalisation: " + std::string(name);
    case StackingReply::Weights:
        return "     weights: " + std::string(name);
    case StackingReply::NormalisationRefused:
        return "     normalisation must be none, additive, multiplicative or additive+scale !";
    case StackingReply::WeightsRefused:
        break;
    }
    return "     weights must be none or noise !";
}

std::string QualityRefusalReply(QualityRefusal refusal)
{
    switch (refusal) {
    case QualityRefusal::ListNotFound:
        return "     list name not recognized !";
    case QualityRefusal::NoSelectedImage:
        return "     list has no selected image !";
    case QualityRefusal::NothingMeasured:
        return "     no selected image could be read !";
    case QualityRefusal::PercentRefused:
        break;
    }
    return "     percentage must be more than 0 and at most 100 !";
}

} // namespace skyvane

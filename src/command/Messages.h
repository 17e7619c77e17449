#pragma once

#include <cstdint>
#include <string>

#include "base/Feedback.h"
#include "display/DisplayBitmap.h"
#include "display/PictureExport.h"
#include "image/FitsReader.h"
#include "image/FitsWriter.h"
#include "image/ImageRecord.h"
#include "processing/Arithmetic.h"
#include "processing/Coaddition.h"
#include "processing/FrameQuality.h"
#include "processing/ListArithmetic.h"
#include "processing/Registration.h"
#include "processing/PatternRegistration.h"
#include "processing/ListDemosaic.h"
#include "processing/Mosaic.h"

namespace skyvane {

// The sentences of everything that goes wrong: the one place where the typed statuses of
// the lower floors become the texts the user reads. A message about one file names it
// (Feedback::showFileError).

// "Not enough memory for an image of W x H pixels."
std::string NotEnoughMemoryText(int width, int height);

// A record that could not be loaded from path:
//  - size step: "Loaded image is not 2-D.\nOnly 2-D images are supported." when that was
//    the cause, then "Error while reading image size";
//  - data step: the 2-D message or "Image size mismatch." when the file changed between
//    the steps, then "Error while reading image data"; no memory (for the pixels, or for
//    the inflated bytes of a gzipped file): the not-enough-memory message alone;
//  - headers step: "Error while reading image headers".
void ReportLoadFailure(Feedback& feedback, const LoadStatus& status, const std::string& path);

// What a co-addition tells while it runs:
//  - the first frame's size: as the size step above; its cards: "Error while reading
//    image headers";
//  - a frame left out: the 2-D message, "Image size mismatch.", or "Error while reading
//    image data" for every other failure;
//  - "Header option not yet implemented, headers from first image will be used";
//  - the not-enough-memory message of the result's size (no file);
//  - as a notice, once: "The stars of 2 frames (frame_007.fit, frame_009.fit) could not be
//    compared with those of the first frame (are the frames registered?); they are
//    combined unscaled." (the first five names)
void ReportCoaddNotice(Feedback& feedback, const CoaddNotice& notice);

// What list arithmetic tells while it runs:
//  - an operand that cannot be loaded: as loading a record (above);
//  - an operand of another size than every frame: "Size of the image is not compatible
//    with the images of the list.";
//  - a frame left out: as a co-addition's;
//  - "Cannot create the folder for the results: " + the system's reason;
//  - a result that cannot be written (a full disk): "Error while writing image file";
//  - no memory for a frame: the not-enough-memory message naming it;
// and calibration besides:
//  - "The flat does not match the dark in size or colour mosaic.", naming the flat;
//  - "The flat cannot be normalised: its mean is not a positive number.", naming it;
//  - "Colour mosaic of the image does not match the dark or the flat.", naming the frame.
void ReportListArithmeticNotice(Feedback& feedback, const ListArithmeticNotice& notice);
// A job over a list that could not make or place the folder for its results: "Cannot
// create the folder for the results: " + the system's reason, naming the folder.
void ReportOutputFolderFailure(Feedback& feedback, int errorNumber, const std::string& path);

// What a registration that did not end well tells (nothing for a run the user stopped,
// nor for a star or a reference without structure, which the reply says):
//  - a reference that cannot be read: as loading a record; without memory for it: the
//    not-enough-memory message of its size naming it;
//  - no memory for the workers: the not-enough-memory message of the reference's size;
//  - a frame that could not be written: "Error while writing image file", naming
//    failedWrite;
// and of a run that ended well, each frame left out for want of memory: the
// not-enough-memory message naming it.
void ReportRegistration(Feedback& feedback, const RegistrationResult& result, const std::string& failedWrite);

// "Frame N of M done".
std::string ListProgressText(int done, int total);

// "Header option not yet implemented, Image A headers will be used" for an option that
// does not exist yet; nothing otherwise.
void ReportHeaderOption(Feedback& feedback, HeaderOptionResult result);

// "Size of loaded image is not compatible with displayed image.", naming the loaded file.
void ReportSizeMismatch(Feedback& feedback, const std::string& path);

// "Image size mismatch.", naming the file: an image of the right size but of another kind
// (a colour image where a grey one is combined, a colour file where a plane is composed).
void ReportKindMismatch(Feedback& feedback, const std::string& path);

// The not-enough-memory message for an image of width x height; with the path of the file
// whose image it is, when there is one.
void ReportNotEnoughMemory(Feedback& feedback, int width, int height);
void ReportNotEnoughMemory(Feedback& feedback, int width, int height, const std::string& path);

// The file steps done for the user: each does the step and tells what failed. True when
// the step succeeded.
//  - loadFitsReporting: loadFits, then ReportLoadFailure;
//  - saveFitsReporting: saveFits; on failure "Error while writing image file";
//  - exportBitmapReporting: exportBitmap; on failure "Failed to create bitmap file."
[[nodiscard]] bool loadFitsReporting(ImageRecord& record, const std::string& path, Feedback& feedback);
[[nodiscard]] bool saveFitsReporting(const ImageRecord& record, const std::string& path, Feedback& feedback);
//  - the same in a sample format; a 16-bit save that changed values then tells
//    ChangedValuesText as a notice (Feedback::showNotice).
[[nodiscard]] bool saveFitsReporting(const ImageRecord& record, const std::string& path, SampleFormat format, Feedback& feedback);
[[nodiscard]] bool exportBitmapReporting(const DisplayBitmap& bitmap, const std::string& path, Feedback& feedback);
//  - exportPictureReporting: the export of the format the name asks for
//    (PictureFormatOfName): a bitmap as exportBitmapReporting; PNG and JPEG of the bitmap,
//    a 16-bit TIFF of the image through the mapping; on failure "Failed to create picture
//    file."
[[nodiscard]] bool exportPictureReporting(const DisplayBitmap& bitmap, const ImageGrid& image, const PictureMapping& mapping,
                                          const std::string& path, Feedback& feedback);

// The feedback of a co-addition that tells each notice to the user at once, and passes
// its progress and the user's wish to stop between the run and the user.
class CoaddMessages final : public CoaddFeedback {
public:
    explicit CoaddMessages(Feedback& feedback) : feedback_(feedback) {}
    void notice(const CoaddNotice& notice) override { ReportCoaddNotice(feedback_, notice); }
    void progress(const std::string& text, double fraction) override { feedback_.showProgress(text, fraction); }
    bool cancelRequested() const override { return feedback_.cancelRequested(); }

private:
    Feedback& feedback_;
};

// The feedback of list arithmetic: notices told at once, progress after each frame, and
// the user's wish to stop, all through the run's feedback.
class ListArithmeticMessages final : public ListArithmeticFeedback {
public:
    explicit ListArithmeticMessages(Feedback& feedback) : feedback_(feedback) {}
    void notice(const ListArithmeticNotice& notice) override { ReportListArithmeticNotice(feedback_, notice); }
    void progress(int done, int total) override;
    bool cancelRequested() override { return feedback_.cancelRequested(); }

private:
    Feedback& feedback_;
};

// After a 16-bit save that clipped pixels: "N pixels outside 0..32767 were clipped"
// ("0..65535" for the unsigned format).
std::string ClippedPixelsText(std::int64_t pixels, SampleFormat format = SampleFormat::Integer16);
// After a 16-bit save that changed values: ClippedPixelsText when clipping was all;
// otherwise every count and the way to keep the values: "N pixels outside 0..32767 were
// clipped, M pixels were cut to whole numbers and K missing pixels were written as 0; to
// keep them, choose 32-bit floating point in Preferences" (the missing part only when
// there are any).
std::string ChangedValuesText(const SaveReport& report, SampleFormat format);

// The reply of a registration by star patterns. Done: one line per frame,
// "     frame_007.fit  dx = 3.27  dy = -1.12  rotation = 180.02  scale = 1.0000  stars = 143"
// ("  mirrored" added for a mirror image), or "     frame_009.fit  no match, left out" (or why
// else it was left out), then "     N of M frames registered: new list [PATHn]" with
// newList the new list's tag. Otherwise the reply of a run that made no list; empty for a
// cancelled one (its reply is the common one).
std::string PatternRegistrationReply(const PatternRegistrationResult& result, std::string_view newList);

// Why a registration by star patterns did not start, or made no folder.
enum class PatternRefusal { ListNotFound, NoSelectedImage, OutputFolderFailed };
std::string PatternRefusalReply(PatternRefusal refusal);

// The last reply line of a registration that left frames out for want of a reliable match
// (a translation cannot align a turned or flipped frame).
std::string UnmatchedFramesReply();

// The replies of "calibrate":
//  - done: "     N images have been calibrated, H hot pixels replaced; new list [PATHn]", and
//    "; K left out" when frames were left out (their messages have named them);
//  - nothing made: why (no selected image, no usable frame, the dark or the flat refused,
//    no folder, a failed write, no memory); empty for a run the user stopped.
std::string CalibrationReply(ListArithmeticStatus status, int written, std::int64_t hotPixels, std::size_t leftOut,
                             const std::string& listTag);
// "     dark image not recognized !": calibrate without "(DARK)".
std::string CalibrationNoDarkReply();

// The replies of "debayer": "     image has been debayered (RGGB)" (the pattern used);
// "     image is no colour mosaic !" for a grey image without a pattern or a colour one;
// "     pattern must be RGGB, BGGR, GRBG or GBRG !" for another word after the command.
std::string DemosaicDoneReply(const Mosaic& mosaic);
std::string NoMosaicReply();
std::string PatternWordReply();

// The reply of "listdebayer": a line for each frame that is no colour mosaic ("     frame_003.fit
// no colour mosaic, left out"), then "     N images have been debayered; new list [PATHn]"
// with "; K left out" when frames were left out (the others named by their messages), or
// why nothing was made ("     no selected image could be debayered !" and the like, as
// calibrate's); empty for a run the user stopped.
std::string ListDemosaicReply(const ListDemosaicResult& result, const std::string& listTag);

// The line "size" adds for a colour mosaic, CR LF first ("\r\n     colour mosaic RGGB", the
// pattern as it lies on the stored rows); nothing for any other image.
std::string MosaicSizeLine(const HeaderCards& cards);

// ---------------------------------------------------------------------------------------
// Frame quality

// What a measurement tells once it has run: each frame it could not load, as loading a
// record; each frame without memory, the not-enough-memory message naming it.
void ReportMeasurement(Feedback& feedback, const MeasureResult& result);
// "Cannot write the quality table: " + the system's reason, naming the file.
void ReportQualityTableFailure(Feedback& feedback, int errorNumber, const std::string& path);

// The reply of "measure": one line per frame,
// "     frame_007.fit  background = 1034.2  noise = 8.21  fwhm = 3.42  roundness = 0.92  stars = 143",
// or "     frame_009.fit  could not be read, left out" (or why else), then
// "     N of M frames measured; quality.csv written" ("... quality.csv could not be written !"
// when tableWritten is false).
std::string MeasureReply(const MeasureResult& result, bool tableWritten);
// The reply of "keepbest": "     kept 16 of 20 frames; unselected: frame_006.fit, frame_013.fit"
// (no names when every frame was kept).
std::string KeepBestReply(const MeasureResult& result, const std::vector<bool>& kept);

// The replies of "normalise" and "weight": "     normalisation: additive+scale",
// "     weights: noise", or why the word was refused.
enum class StackingReply { Normalisation, Weights, NormalisationRefused, WeightsRefused };
std::string StackingChoiceReply(StackingReply reply, std::string_view name);

// Why a frame-quality command did not start.
enum class QualityRefusal { ListNotFound, NoSelectedImage, PercentRefused, NothingMeasured };
std::string QualityRefusalReply(QualityRefusal refusal);

} // namespace skyvane

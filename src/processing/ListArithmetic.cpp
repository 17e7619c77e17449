#include "processing/ListArithmetic.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <new>

#include "image/FitsWriter.h"
#include "processing/ListFrameRun.h"

namespace skyvane {

namespace {

// A frame's rows, a band at a time, combined with the operand's same rows as they are read.
class FrameWork {
public:
    FrameWork(const ListArithmeticJob& job, const double* operand, int operandPlanes, std::vector<ImageSize> sizes, ListOutput& output)
        : job_(job), operand_(operand), operandPlanes_(operandPlanes), sizes_(std::move(sizes)), output_(output)
    {
    }

    // Reads the frame a band of rows at a time, combines each band with the operand's
    // same rows and writes it out.
    FrameSlot process(std::size_t i) const
    {
        const std::string& path = job_.framePaths[i];
        const ImageSize size = sizes_[i];
        try {
            FitsImageReader reader;
            if (const FitsError error = reader.open(path, size); error != FitsError::None)
                return error == FitsError::NotEnoughMemory ? NoMemoryForFrame(path, size) : UnusableFrame(error, path);
            HeaderCards cards;
            if (const FitsError error = readFitsHeaderCards(path, cards); error != FitsError::None)
                return UnusableFrame(error, path);
            FitsError readError = FitsError::None;
            const std::int64_t width = size.width;
            // Rows in file order: those of a colour frame's planes one after the other, a
            // request within one plane. A colour operand gives the frame's plane its own
            // plane, a grey one its only plane.
            const RowSource rows = [&](int fileRow, int rowCount, double* out) {
                const int plane = size.height > 0 ? fileRow / size.height : 0;
                const int firstRow = size.height > 0 ? fileRow % size.height : fileRow;
                reader.selectPlane(plane);
                readError = reader.readRows(firstRow, rowCount, out);
                if (readError != FitsError::None)
                    return false;
                const std::int64_t planeStart = operandPlanes_ == 1 ? 0 : static_cast<std::int64_t>(plane) * width * size.height;
                const double* operand = operand_ != nullptr ? operand_ + planeStart + firstRow * width : nullptr;
                ApplyListOperation(job_.operation, out, rowCount * width, job_.constant, operand, job_.zeroDivisionValue);
                return true;
            };
            const FitsError written = output_.writeFrame(i, std::move(cards), size, rows, job_.history);
            return RowsWritten(written, readError, path, size, output_, i);
        } catch (const std::bad_alloc&) {
            return NoMemoryForFrame(path, size);
        }
    }

private:
    const ListArithmeticJob& job_;
    const double* operand_; // row after row, the frames' size, plane after plane; null with a constant
    int operandPlanes_;
    std::vector<ImageSize> sizes_;
    ListOutput& output_;
};

} // namespace

void ApplyListOperation(ListOperation operation, double* values, std::int64_t n, double constant, const double* operand,
                        double zeroDivisionValue)
{
    if (operand != nullptr) {
        ImageOperation op = ImageOperation::Add;
        switch (operation) {
        case ListOperation::Add: op = ImageOperation::Add; break;
        case ListOperation::Subtract: op = ImageOperation::Subtract; break;
        case ListOperation::Multiply: op = ImageOperation::Multiply; break;
        case ListOperation::Divide: op = ImageOperation::Divide; break;
        }
        CombineValues(op, values, operand, n, zeroDivisionValue);
        return;
    }
    switch (operation) {
    case ListOperation::Add: AddToValues(values, n, constant); break;
    case ListOperation::Subtract: AddToValues(values, n, -constant); break;
    case ListOperation::Multiply: MultiplyValues(values, n, constant); break;
    case ListOperation::Divide: MultiplyValues(values, n, 1.0 / constant); break;
    }
}

namespace {

// The operand's values row after row, read as loadFits reads an image (its steps and
// errors), without the cards. load tells how it went.
std::unique_ptr<double[]> LoadOperand(const std::string& path, LoadStatus& load)
{
    load = LoadStatus{};
    load.step = LoadStep::Size;
    if ((load.error = readFitsSize(path, load.size)) != FitsError::None)
        return nullptr;
    load.step = LoadStep::Data;
    const std::uint64_t bytes = GridBytes(load.size.width, load.size.height, load.size.planes);
    std::unique_ptr<double[]> values;
    if (bytes <= GridMemoryLimit())
        values.reset(new (std::nothrow) double[std::max<std::size_t>(1, static_cast<std::size_t>(bytes / sizeof(double)))]);
    if (!values) {
        load.error = FitsError::NotEnoughMemory;
        return nullptr;
    }
    FitsImageReader reader;
    load.error = reader.open(path, load.size);
    const std::int64_t planeValues = static_cast<std::int64_t>(load.size.width) * load.size.height;
    for (int p = 0; p < load.size.planes && load.error == FitsError::None; ++p) {
        reader.selectPlane(p);
        load.error = reader.readRows(0, load.size.height, values.get() + p * planeValues);
    }
    if (load.error != FitsError::None)
        return nullptr;
    return values;
}

} // namespace

ListArithmeticResult RunListArithmetic(const ListArithmeticJob& job, ListArithmeticFeedback& feedback)
{
    ListArithmeticResult result;
    const std::size_t n = job.framePaths.size();
    result.frames = static_cast<int>(n);
    if (n == 0) {
        result.status = ListArithmeticStatus::NoFrame;
        return result;
    }

    // The operand first: a run that cannot use it writes nothing.
    std::unique_ptr<double[]> operand;
    ImageSize operandSize;
    if (job.withImage) {
        LoadStatus load;
        operand = LoadOperand(job.operandPath, load);
        if (!operand) {
            ListArithmeticNotice notice = FrameNotice(ListArithmeticNotice::Kind::OperandUnreadable, load.error, job.operandPath);
            notice.load = load;
            feedback.notice(notice);
            result.status = ListArithmeticStatus::OperandRefused;
            return result;
        }
        operandSize = load.size;
    }

    // Every frame's size: frames that cannot be used are known before anything is made.
    std::vector<FrameSlot> slots(n);
    std::vector<ImageSize> sizes(n);
    bool readable = false;
    bool usable = false;
    for (std::size_t i = 0; i < n; ++i) {
        ImageSize& size = sizes[i];
        const FitsError error = readFitsSize(job.framePaths[i], size);
        if (error != FitsError::None) {
            slots[i] = UnusableFrame(error, job.framePaths[i]);
            continue;
        }
        readable = true;
        // A grey operand serves every plane of a colour frame; a colour one only colour frames.
        const bool fits = size.width == operandSize.width && size.height == operandSize.height &&
                          (size.planes == operandSize.planes || operandSize.planes == 1);
        if (job.withImage && !fits) {
            slots[i] = UnusableFrame(FitsError::SizeMismatch, job.framePaths[i]);
            continue;
        }
        usable = true;
    }
    if (job.withImage && readable && !usable) {
        ListArithmeticNotice notice = FrameNotice(ListArithmeticNotice::Kind::OperandMismatch, FitsError::SizeMismatch, job.operandPath);
        notice.size = operandSize;
        feedback.notice(notice);
        result.status = ListArithmeticStatus::OperandRefused;
        return result;
    }
    if (!usable) {
        TellNoUsableFrame(slots, job.framePaths, feedback, result.leftOut);
        result.status = ListArithmeticStatus::NoUsableFrame;
        return result;
    }

    ListOutput output;
    if (const auto status = BeginListOutput(output, job.outputParent, job.outputName, job.framePaths, feedback)) {
        result.status = *status;
        return result;
    }

    const FrameWork work(job, operand.get(), operandSize.planes, std::move(sizes), output);
    const std::function<FrameSlot(std::size_t)> process = [&work](std::size_t i) { return work.process(i); };
    const FrameRunEnd end = RunFrames(std::move(slots), job.threads, process, feedback);

    result.status = EndListOutput(end, job.framePaths, output, feedback, result.leftOut);
    if (result.status == ListArithmeticStatus::Done)
        result.output = std::move(output);
    return result;
}

} // namespace skyvane

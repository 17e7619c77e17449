#include "image/ImageRecord.h"

#include <algorithm>

namespace skyvane {

void HeaderCards::append(std::string_view card)
{
    const std::size_t kept = std::min<std::size_t>(card.size(), CardLength);
    const std::size_t start = block_.size();
    block_.resize(start + RecordBytes, ' ');
    std::copy_n(card.data(), kept, block_.begin() + static_cast<std::ptrdiff_t>(start));
    block_.back() = '\0';
}

void ImageRecord::clear()
{
    cards.clear();
    grid.resize(0, 0);
}

} // namespace skyvane

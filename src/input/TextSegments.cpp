#include "input/TextSegments.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <memory>

namespace tovo {

std::vector<std::string> graphemeClusters(const std::string& text) {
    std::vector<std::string> out;
    icu::UnicodeString units = icu::UnicodeString::fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !breaks) {
        // Without break rules, fall back to code points.
        for (int32_t i = 0; i < units.length();) {
            int32_t next = units.moveIndex32(i, 1);
            std::string piece;
            units.tempSubStringBetween(i, next).toUTF8String(piece);
            out.push_back(piece);
            i = next;
        }
        return out;
    }
    breaks->setText(units);
    for (int32_t start = breaks->first(), end = breaks->next(); end != icu::BreakIterator::DONE;
         start = end, end = breaks->next()) {
        std::string piece;
        units.tempSubStringBetween(start, end).toUTF8String(piece);
        out.push_back(piece);
    }
    return out;
}

size_t utf16Length(const std::string& text) { return static_cast<size_t>(icu::UnicodeString::fromUTF8(text).length()); }

char32_t firstScalar(const std::string& text) {
    icu::UnicodeString units = icu::UnicodeString::fromUTF8(text);
    return units.isEmpty() ? 0 : static_cast<char32_t>(units.char32At(0));
}

}  // namespace tovo

#include "app/progress_text.h"

#include <cstdint>

namespace qv {

namespace {

// Appends to a bounded text, always terminated; what does not fit is cut.
class TextOut {
public:
    TextOut(wchar_t* buffer, size_t capacity) noexcept : buffer_(buffer), capacity_(capacity) {
        buffer_[0] = L'\0';
    }
    void Put(const wchar_t* text) noexcept {
        for (; *text != L'\0' && length_ + 1 < capacity_; ++text) {
            buffer_[length_++] = *text;
        }
        buffer_[length_] = L'\0';
    }
    void Put(uint64_t number) noexcept {
        wchar_t digits[24] = {};
        size_t at = 23;  // filled from the end; digits[23] stays the terminator
        do {
            digits[--at] = static_cast<wchar_t>(L'0' + number % 10);
            number /= 10;
        } while (number != 0);
        Put(digits + at);
    }

private:
    wchar_t* buffer_;
    size_t capacity_;
    size_t length_ = 0;
};

// "12.3": mebibytes with one decimal, rounded down.
void PutMegabytes(TextOut& out, uint64_t bytes) noexcept {
    constexpr unsigned kShift = 20;
    const uint64_t whole = bytes >> kShift;
    const uint64_t tenths = ((bytes & ((uint64_t{1} << kShift) - 1)) * 10) >> kShift;
    out.Put(whole);
    out.Put(L".");
    out.Put(tenths);
}

// Rounded to the nearest, but below 100 until every byte has come.
uint64_t Percentage(uint64_t received, uint64_t total) noexcept {
    if (received >= total) {
        return 100;
    }
    const uint64_t percent = received <= UINT64_MAX / 200 ? (received * 200 + total) / (2 * total)
                                                          : received / (total / 100);
    return percent < 100 ? percent : 99;
}

}  // namespace

bool FormatProgressTooltip(const wchar_t* first_line, const ProgressFigures& figures,
                           wchar_t (&tooltip)[kTooltipCapacity]) noexcept {
    if (figures.total == 0) {
        return false;
    }
    TextOut out(tooltip, kTooltipCapacity);
    out.Put(first_line != nullptr ? first_line : L"");
    out.Put(L"\n");
    PutMegabytes(out, figures.received);
    out.Put(L" / ");
    PutMegabytes(out, figures.total);
    out.Put(L" MB (");
    out.Put(Percentage(figures.received, figures.total));
    out.Put(L"%)");
    return true;
}

}  // namespace qv

#pragma once
// The tray tooltip while files come in: its first line, then the bytes received and to
// receive with the percentage, as in "12.3 / 45.6 MB (27%)".

#include <windows.h>

#include "update/progress_counter.h"

namespace qv {

// The room of the tooltip, terminator included.
inline constexpr size_t kTooltipCapacity = 128;

// Writes `first_line`, a line break and the figures' line into `tooltip` (cut to its
// room). MB are units of 1,048,576 bytes, the megabytes of Explorer's file sizes, shown
// with one decimal and rounded down, so received never shows more than the total; the
// percentage is a whole number, 100 only once every byte is there. False, leaving
// `tooltip` untouched, while the total is 0 (nothing known yet).
bool FormatProgressTooltip(const wchar_t* first_line, const ProgressFigures& figures,
                           wchar_t (&tooltip)[kTooltipCapacity]) noexcept;

}  // namespace qv

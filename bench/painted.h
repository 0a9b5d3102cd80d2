#pragma once

// When a guide counts as painted: the same rule for the viewer, the bare
// engine and Chromium, applied to what the X server shows.
//
// A guide's page has a head filled with one blue and dark text on white
// below it. The PDF viewer paints its toolbar, its side bar and a white page
// before the page's content, so the rule asks for the head at page size (not
// the thumbnail's) and for ink under it.

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace bench {

struct GuideCheck
{
    int headPixels = 0;
    int headWidth = 0;
    int headRows = 0;
    int ink = 0;
    // The head's box; empty when no head is shown.
    int headLeft = 0, headTop = 0, headRight = -1, headBottom = -1;
    bool painted = false;
};

// Pixels are 32-bit words 0xffRRGGBB (QImage::Format_RGB32, X ZPixmap depth 24).
class Pixels
{
public:
    Pixels(const std::uint8_t *bits, int width, int height, int stride)
        : m_bits(bits), m_width(width), m_height(height), m_stride(stride)
    {
    }
    int width() const { return m_width; }
    int height() const { return m_height; }
    std::uint32_t at(int x, int y) const
    {
        return reinterpret_cast<const std::uint32_t *>(m_bits + std::size_t(y) * m_stride)[x];
    }

private:
    const std::uint8_t *m_bits;
    int m_width, m_height, m_stride;
};

namespace detail {

inline int red(std::uint32_t p) { return (p >> 16) & 0xff; }
inline int green(std::uint32_t p) { return (p >> 8) & 0xff; }
inline int blue(std::uint32_t p) { return p & 0xff; }

// The current week's head colour, #1f5fb4, as the stand-in site draws it.
inline bool isHead(std::uint32_t p)
{
    return std::abs(red(p) - 0x1f) <= 12 && std::abs(green(p) - 0x5f) <= 12 && std::abs(blue(p) - 0xb4) <= 12;
}

inline bool isLight(std::uint32_t p)
{
    return red(p) >= 0xd0 && green(p) >= 0xd0 && blue(p) >= 0xd0;
}

// Dark grey or black: the guide's text colours are #111 and #222.
inline bool isDark(std::uint32_t p)
{
    const int r = red(p), g = green(p), b = blue(p);
    const int hi = std::max(r, std::max(g, b)), lo = std::min(r, std::min(g, b));
    return hi <= 0x70 && hi - lo <= 24;
}

} // namespace detail

inline GuideCheck checkGuide(const Pixels &image)
{
    using namespace detail;
    GuideCheck check;
    // A head row has at least this many head pixels: more than the thumbnail
    // in the side bar can show.
    constexpr int RowMin = 180;
    int top = -1, bottom = -1, left = image.width(), right = -1;
    for (int y = 0; y < image.height(); ++y) {
        int count = 0, first = -1, last = -1;
        for (int x = 0; x < image.width(); ++x)
            if (isHead(image.at(x, y))) {
                ++count;
                if (first < 0)
                    first = x;
                last = x;
            }
        check.headPixels += count;
        if (count >= RowMin) {
            if (top < 0)
                top = y;
            bottom = y;
            ++check.headRows;
            left = std::min(left, first);
            right = std::max(right, last);
        }
    }
    if (check.headRows == 0)
        return check;
    check.headWidth = right - left + 1;
    check.headLeft = left;
    check.headTop = top;
    check.headRight = right;
    check.headBottom = bottom;
    // Ink: dark pixels beside light ones, in the page's columns below the head.
    for (int y = bottom + 1; y < image.height(); ++y)
        for (int x = std::max(left, 2); x <= std::min(right, image.width() - 3); ++x) {
            const std::uint32_t p = image.at(x, y);
            if (isDark(p) && (isLight(image.at(x - 2, y)) || isLight(image.at(x + 2, y))))
                ++check.ink;
        }
    check.painted = check.headRows >= 12 && check.headWidth >= 200 && check.ink >= 300;
    return check;
}

// Pixels that differ between two images inside the head's box: the channel
// number and title tell one guide from another, while the viewer's own parts
// (scroll bar, tool bar) may change with the same guide shown.
inline int headDifference(const Pixels &shown, const GuideCheck &check, const Pixels &before)
{
    int n = 0;
    for (int y = check.headTop; y <= check.headBottom && y < before.height(); ++y)
        for (int x = check.headLeft; x <= check.headRight && x < before.width(); ++x)
            if ((shown.at(x, y) & 0xffffff) != (before.at(x, y) & 0xffffff))
                ++n;
    return n;
}

} // namespace bench

#pragma once

#include "camera/convert_kernels.h"

#include <QRectF>

#include <cstdint>
#include <vector>

/// The tables of one bilinear BGRA scale (convert::Kernels::scaleBgra): which source pixels and
/// weights make each destination pixel when a source rectangle is mapped onto a destination
/// size. Pixel centres are aligned, so an exact 2:1 step averages pixel pairs. Rebuilding with
/// sizes no larger than before does not allocate.
class ScalePlan
{
public:
    /// Maps `from` (in source pixels; may be fractional, is clamped to the source) of a
    /// srcWidth x srcHeight picture onto dstWidth x dstHeight.
    void build(const QRectF &from, int srcWidth, int srcHeight, int dstWidth, int dstHeight);
    const convert::ScaleTables &tables() const { return m_tables; }

private:
    std::vector<int32_t> m_x0, m_x1, m_y0, m_y1;
    std::vector<uint16_t> m_wx, m_wy;
    std::vector<uint8_t> m_row;
    convert::ScaleTables m_tables;
};

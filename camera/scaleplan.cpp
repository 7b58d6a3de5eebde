#include "camera/scaleplan.h"

#include <algorithm>
#include <cmath>

namespace {

// One axis: destination index d samples the source at start + (d + 0.5) * step - 0.5, in 16.16
// fixed point, clamped to the picture.
void buildAxis(double start, double length, int src, int dst, std::vector<int32_t> &i0,
    std::vector<int32_t> &i1, std::vector<uint16_t> &weight)
{
    i0.resize(dst);
    i1.resize(dst);
    weight.resize(dst);
    const double step = length / dst;
    const int64_t last = int64_t(src - 1) << 16;
    for (int d = 0; d < dst; ++d) {
        const double at = start + (d + 0.5) * step - 0.5;
        const int64_t pos = std::clamp<int64_t>(std::llround(at * 65536.0), 0, last);
        const int first = static_cast<int>(pos >> 16);
        i0[d] = first;
        i1[d] = std::min(first + 1, src - 1);
        weight[d] = static_cast<uint16_t>(((pos & 0xffff) + 128) >> 8);
    }
}

} // namespace

void ScalePlan::build(const QRectF &from, int srcWidth, int srcHeight, int dstWidth, int dstHeight)
{
    buildAxis(from.x(), from.width(), srcWidth, dstWidth, m_x0, m_x1, m_wx);
    buildAxis(from.y(), from.height(), srcHeight, dstHeight, m_y0, m_y1, m_wy);
    m_row.resize(static_cast<size_t>(srcWidth) * 4);
    m_tables = { m_x0.data(), m_x1.data(), m_wx.data(), m_y0.data(), m_y1.data(), m_wy.data(),
        srcWidth, m_row.data() };
}
